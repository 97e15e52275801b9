#include "cli/json_report.h"

#include <cstdint>
#include <cstdio>

namespace kbx {

namespace {

// Length of the valid UTF-8 sequence starting at text[i], 0 when the byte
// there does not start one (overlong forms and surrogates are not valid).
std::size_t Utf8SequenceLength(const std::string& text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
  const std::uint8_t lead = byte(i);
  std::size_t length = 0;
  std::uint32_t min = 0;
  std::uint32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, min = 0x80, code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, min = 0x800, code = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, min = 0x10000, code = lead & 0x07u;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3Fu);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

std::string Escaped(std::uint8_t byte) {
  char text[8];
  std::snprintf(text, sizeof text, "\\u%04x", byte);
  return text;
}

class ObjectWriter {
 public:
  explicit ObjectWriter(std::ostream& out) : out_(out) { out_ << '{'; }
  ~ObjectWriter() { out_ << '}'; }
  ObjectWriter(const ObjectWriter&) = delete;
  ObjectWriter& operator=(const ObjectWriter&) = delete;

  // The raw JSON text of one member's value.
  void Member(const std::string& name, const std::string& json) {
    out_ << (first_ ? "" : ",") << JsonString(name) << ':' << json;
    first_ = false;
  }

 private:
  std::ostream& out_;
  bool first_ = true;
};

std::string StringArray(const std::vector<std::string>& items) {
  std::string json = "[";
  for (std::size_t i = 0; i < items.size(); ++i) json += (i ? "," : "") + JsonString(items[i]);
  return json + "]";
}

// A whole number of any size in digits, without exponent, whatever the locale.
std::string WholeNumberText(double whole) {
  char text[400];
  std::snprintf(text, sizeof text, "%.0f", whole);
  return text;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string json = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<std::uint8_t>(text[i]);
    if (byte >= 0x80) {
      const std::size_t length = Utf8SequenceLength(text, i);
      if (length == 0) {
        json += Escaped(byte);
        ++i;
      } else {
        json.append(text, i, length);
        i += length;
      }
      continue;
    }
    switch (byte) {
      case '"':
        json += "\\\"";
        break;
      case '\\':
        json += "\\\\";
        break;
      case '\n':
        json += "\\n";
        break;
      case '\r':
        json += "\\r";
        break;
      case '\t':
        json += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          json += Escaped(byte);
        } else {
          json += static_cast<char>(byte);
        }
    }
    ++i;
  }
  return json + "\"";
}

void WriteJsonReport(const SessionReport& report, std::ostream& out) {
  {
    ObjectWriter object(out);
    object.Member("ok", report.exit == 0 ? "true" : "false");
    object.Member("exit", std::to_string(report.exit));
    if (report.port > 0) object.Member("port", std::to_string(report.port));
    if (!report.device.empty()) object.Member("device", JsonString(report.device));
    if (!report.settings.empty()) object.Member("settings", JsonString(report.settings));
    if (report.type) object.Member("type", std::to_string(*report.type));
    std::string versions = "{";
    for (std::size_t i = 0; i < report.versions.size(); ++i) {
      versions += (i ? "," : "") + JsonString(std::to_string(report.versions[i].first)) + ":" +
                  JsonString(report.versions[i].second);
    }
    if (report.type) object.Member("versions", versions + "}");
    if (report.runtimeSeconds) {
      object.Member("runtime_seconds", WholeNumberText(*report.runtimeSeconds));
      object.Member("runtime", JsonString(report.runtime));
    }
    if (report.modules) {
      std::string modules = "{\"requested\":" + std::to_string(report.modules->requested) +
                            ",\"outcome\":" + JsonString(report.modules->outcome);
      if (!report.modules->why.empty()) modules += ",\"why\":" + JsonString(report.modules->why);
      if (const auto& update = report.modules->update) {
        modules += ",\"ending\":" + JsonString(EndingName(update->ending));
        if (update->step > 0) modules += ",\"step\":" + std::to_string(update->step);
        modules +=
            ",\"steps\":" + StringArray(update->steps) + ",\"confirmed\":" + StringArray(update->Confirmed());
      }
      object.Member("modules", modules + "}");
    }
    if (!report.interrupted.empty()) object.Member("interrupted", JsonString(report.interrupted));
    object.Member("board", StringArray(report.board));
    object.Member("errors", StringArray(report.errors));
  }
  out << '\n' << std::flush;
}

void WritePortsJson(const std::vector<ListedPort>& ports, std::ostream& out) {
  const auto text = [](const std::string& value) { return value.empty() ? "null" : JsonString(value); };
  out << '[';
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const PortInfo& port = ports[i].port;
    const SerialDevice& system = port.system;
    const PortHolder& holder = ports[i].holder;
    if (i > 0) out << ',';
    ObjectWriter object(out);
    object.Member("com", port.comNumber > 0 ? std::to_string(port.comNumber) : "null");
    object.Member("device", JsonString(port.device));
    object.Member("stable_name", text(system.stableName));
    object.Member("description", text(port.description));
    object.Member("driver", text(system.driver));
    object.Member("vendor_id", text(system.vendorId));
    object.Member("product_id", text(system.productId));
    object.Member("manufacturer", text(system.manufacturer));
    object.Member("product", text(system.product));
    object.Member("serial_number", text(system.serialNumber));
    object.Member("held_by", holder.pid > 0 ? "{\"pid\":" + std::to_string(holder.pid) +
                                                  ",\"program\":" + text(holder.program) + "}"
                                            : "null");
  }
  out << "]\n" << std::flush;
}

}  // namespace kbx
