#pragma once

// A small strict JSON reader for the tests: what kbx --json prints must be
// read by it whole, or the test fails.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kbx::test {

struct Json {
  enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
  bool boolean = false;
  double number = 0;
  std::string text;  // a string's value, decoded to UTF-8
  std::vector<Json> items;
  std::map<std::string, Json> members;

  bool Has(const std::string& name) const { return kind == kObject && members.count(name) > 0; }
  const Json& operator[](const std::string& name) const { return members.at(name); }
  std::vector<std::string> Strings() const {
    std::vector<std::string> out;
    for (const Json& item : items) out.push_back(item.text);
    return out;
  }
};

class JsonReader {
 public:
  // The value of the whole text (white space around it allowed); nullopt and
  // the reason in `error` for anything that is not exactly one JSON value.
  static std::optional<Json> Read(const std::string& text, std::string& error) {
    if (!ValidUtf8(text)) {
      error = "not UTF-8";
      return std::nullopt;
    }
    JsonReader reader(text);
    Json value;
    if (!reader.Value(value, 0) || (reader.Space(), reader.at_ != text.size())) {
      error = reader.error_.empty() ? "trailing text at " + std::to_string(reader.at_) : reader.error_;
      return std::nullopt;
    }
    return value;
  }

 private:
  static bool ValidUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
      const auto lead = static_cast<unsigned char>(text[i]);
      std::size_t length = lead < 0x80                    ? 1
                           : lead >= 0xC2 && lead <= 0xDF ? 2
                           : lead >= 0xE0 && lead <= 0xEF ? 3
                           : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                          : 0;
      if (length == 0 || i + length > text.size()) return false;
      std::uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
      for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return false;
        code = (code << 6) | (next & 0x3F);
      }
      const std::uint32_t min[] = {0, 0, 0x80, 0x800, 0x10000};
      if (code < min[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
      i += length;
    }
    return true;
  }

  explicit JsonReader(const std::string& text) : text_(text) {}

  bool Fail(const std::string& why) {
    if (error_.empty()) error_ = why + " at " + std::to_string(at_);
    return false;
  }
  void Space() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\t' || text_[at_] == '\r'))
      ++at_;
  }
  bool Literal(const char* word) {
    const std::string w(word);
    if (text_.compare(at_, w.size(), w) != 0) return Fail("bad literal");
    at_ += w.size();
    return true;
  }

  bool Value(Json& value, int depth) {
    if (depth > 64) return Fail("too deep");
    Space();
    if (at_ >= text_.size()) return Fail("end of text");
    const char c = text_[at_];
    if (c == '{') return Object(value, depth);
    if (c == '[') return Array(value, depth);
    if (c == '"') {
      value.kind = Json::kString;
      return String(value.text);
    }
    if (c == 't') return value.kind = Json::kBool, value.boolean = true, Literal("true");
    if (c == 'f') return value.kind = Json::kBool, value.boolean = false, Literal("false");
    if (c == 'n') return value.kind = Json::kNull, Literal("null");
    return Number(value);
  }

  bool Number(Json& value) {
    const std::size_t start = at_;
    if (at_ < text_.size() && text_[at_] == '-') ++at_;
    auto digits = [&] {
      const std::size_t from = at_;
      while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
      return at_ - from;
    };
    const std::size_t intStart = at_;
    const std::size_t whole = digits();
    if (whole == 0 || (whole > 1 && text_[intStart] == '0')) return Fail("bad number");
    if (at_ < text_.size() && text_[at_] == '.') {
      ++at_;
      if (digits() == 0) return Fail("bad fraction");
    }
    if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
      ++at_;
      if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
      if (digits() == 0) return Fail("bad exponent");
    }
    value.kind = Json::kNumber;
    value.number = std::stod(text_.substr(start, at_ - start));
    return true;
  }

  static void AppendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  bool Hex4(std::uint32_t& code) {
    if (at_ + 4 > text_.size()) return Fail("short \\u");
    code = 0;
    for (int k = 0; k < 4; ++k) {
      const char h = text_[at_++];
      code <<= 4;
      if (h >= '0' && h <= '9')
        code |= static_cast<std::uint32_t>(h - '0');
      else if (h >= 'a' && h <= 'f')
        code |= static_cast<std::uint32_t>(h - 'a' + 10);
      else if (h >= 'A' && h <= 'F')
        code |= static_cast<std::uint32_t>(h - 'A' + 10);
      else
        return Fail("bad \\u");
    }
    return true;
  }

  bool String(std::string& out) {
    ++at_;  // the opening quote
    for (;;) {
      if (at_ >= text_.size()) return Fail("unterminated string");
      const auto c = static_cast<unsigned char>(text_[at_++]);
      if (c == '"') return true;
      if (c < 0x20) return Fail("raw control character");
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (at_ >= text_.size()) return Fail("unterminated escape");
      const char e = text_[at_++];
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          std::uint32_t code = 0;
          if (!Hex4(code)) return false;
          if (code >= 0xD800 && code <= 0xDBFF) {
            std::uint32_t low = 0;
            if (text_.compare(at_, 2, "\\u") != 0) return Fail("lone surrogate");
            at_ += 2;
            if (!Hex4(low) || low < 0xDC00 || low > 0xDFFF) return Fail("bad surrogate pair");
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          } else if (code >= 0xDC00 && code <= 0xDFFF) {
            return Fail("lone surrogate");
          }
          AppendUtf8(out, code);
          break;
        }
        default:
          return Fail("bad escape");
      }
    }
  }

  bool Array(Json& value, int depth) {
    value.kind = Json::kArray;
    ++at_;
    Space();
    if (at_ < text_.size() && text_[at_] == ']') return ++at_, true;
    for (;;) {
      Json item;
      if (!Value(item, depth + 1)) return false;
      value.items.push_back(std::move(item));
      Space();
      if (at_ >= text_.size()) return Fail("unterminated array");
      const char c = text_[at_++];
      if (c == ']') return true;
      if (c != ',') return Fail("expected , or ]");
    }
  }

  bool Object(Json& value, int depth) {
    value.kind = Json::kObject;
    ++at_;
    Space();
    if (at_ < text_.size() && text_[at_] == '}') return ++at_, true;
    for (;;) {
      Space();
      if (at_ >= text_.size() || text_[at_] != '"') return Fail("expected a name");
      std::string name;
      if (!String(name)) return false;
      if (value.members.count(name)) return Fail("duplicate name " + name);
      Space();
      if (at_ >= text_.size() || text_[at_++] != ':') return Fail("expected :");
      Json member;
      if (!Value(member, depth + 1)) return false;
      value.members.emplace(name, std::move(member));
      Space();
      if (at_ >= text_.size()) return Fail("unterminated object");
      const char c = text_[at_++];
      if (c == '}') return true;
      if (c != ',') return Fail("expected , or }");
    }
  }

  const std::string& text_;
  std::size_t at_ = 0;
  std::string error_;
};

}  // namespace kbx::test
