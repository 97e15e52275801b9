#include "link/trace.h"

#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include "link/error_trap.h"
#include "link/frame.h"
#include "link/numbers.h"
#include "platform/line_settings.h"

namespace kbx {

namespace {

constexpr double kSecondsPerDay = 86400.0;

// The bytes in hex, those marked hidden as "**".
std::string HexBytes(const Bytes& bytes, const std::vector<bool>& hidden) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i) text += ' ';
    text += hidden[i] ? "**" : Hex2(bytes[i]);
  }
  return text;
}

std::string Count(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::size_t NextFrameStart(const Bytes& bytes, std::size_t from) {
  while (from < bytes.size() && bytes[from] != kFrameStart) ++from;
  return from;
}

std::string ChecksumText(const Bytes& bytes, std::size_t start, std::size_t checksumAt) {
  const std::uint8_t want = FrameChecksum(bytes.data() + start, checksumAt - start);
  if (bytes[checksumAt] == want) return "checksum good";
  return "checksum bad (" + Hex2(bytes[checksumAt]) + ", should be " + Hex2(want) + ")";
}

// What a written chunk holds, request frame by request frame. Everything after
// the command byte of an authorization request is marked hidden.
std::string DescribeWritten(const Bytes& bytes, std::vector<bool>& hidden) {
  std::vector<std::string> parts;
  const std::size_t n = bytes.size();
  for (std::size_t p = 0; p < n;) {
    if (bytes[p] != kFrameStart) {
      const std::size_t next = NextFrameStart(bytes, p);
      parts.push_back(Count(next - p, "byte", "bytes") + " outside a frame");
      p = next;
      continue;
    }
    if (n - p >= 3 && bytes[p + 2] == kAuthorizationCommand) {
      for (std::size_t i = p + 3; i < n; ++i) hidden[i] = true;
      parts.push_back("authorization request, code hidden");
      break;
    }
    if (n - p < 2) {
      parts.push_back("incomplete request frame");
      break;
    }
    const std::size_t length = bytes[p + 1];
    const std::size_t size = length + 3;
    if (n - p < size) {
      parts.push_back("incomplete request frame: " + std::to_string(n - p) + " of " + std::to_string(size) +
                      " bytes");
      break;
    }
    std::string part = length ? "request " + Hex2(bytes[p + 2]) : std::string("empty request");
    part += ", len " + std::to_string(length) + ", " + ChecksumText(bytes, p, p + size - 1);
    parts.push_back(part);
    p += size;
  }
  std::string text;
  for (const auto& part : parts) text += (text.empty() ? "" : "; ") + part;
  return text;
}

// What a read chunk holds, response frame by response frame.
std::string DescribeRead(const Bytes& bytes) {
  std::vector<std::string> parts;
  const std::size_t n = bytes.size();
  for (std::size_t p = 0; p < n;) {
    if (bytes[p] != kFrameStart) {
      const std::size_t next = NextFrameStart(bytes, p);
      parts.push_back(Count(next - p, "byte", "bytes") + " of garbage");
      p = next;
      continue;
    }
    if (n - p < 4) {
      parts.push_back("incomplete frame: " + Count(n - p, "byte", "bytes") + ", header cut short");
      break;
    }
    const std::uint8_t block = bytes[p + 1];
    const std::size_t length = bytes[p + 2];
    const std::uint8_t sequence = bytes[p + 3];
    const std::size_t size = length + 5;
    std::string part = "block " + std::to_string(block);
    if (n - p < size) {
      parts.push_back("incomplete frame: " + part + ", len " + std::to_string(length) + ", " +
                      std::to_string(n - p) + " of " + std::to_string(size) + " bytes");
      break;
    }
    part += ", seq " + Hex2(sequence) + " (#" + std::to_string(sequence & kFrameNumberMask) +
            ((sequence & kLastFrameBit) ? ", last)" : ")");
    part += ", len " + std::to_string(length);
    if (length < 1 || length > static_cast<std::size_t>(kMaxFrameData)) part += " (out of range)";
    part += ", " + ChecksumText(bytes, p, p + size - 1);
    if (block == kAckBlock && length >= 1) {
      const std::string status = AckStatusText(bytes[p + 4]);
      part += ", status " + Hex2(bytes[p + 4]) + " " + (status.empty() ? "unknown status" : status);
    }
    parts.push_back(part);
    p += size;
  }
  std::string text;
  for (const auto& part : parts) text += (text.empty() ? "" : "; ") + part;
  return text;
}

}  // namespace

TracingPort::TracingPort(SerialPort& port, Clock& clock, std::ostream& out, DeviceName device)
    : port_(port), clock_(clock), out_(out), device_(std::move(device)) {
  const CalendarTime start = clock.Calendar();
  last_ = start.timeOfDay;
  signalsNoted_ = StopSignalCount();
  Line("trace start " + start.date + " " + ClockText(start.timeOfDay) + " " + start.zone);
}

TracingPort::~TracingPort() {
  Finish();
}

void TracingPort::Finish() {
  if (finished_) return;
  NotePending();
  Line("trace end " + ClockText(clock_.TimeOfDay()));
  finished_ = true;
}

void TracingPort::NotePending() {
  if (unansweredSince_) {
    const long long at = std::llround(*unansweredSince_ * 1000.0);
    unansweredSince_.reset();
    Line("no answer read for the request at " + std::to_string(at) + " ms");
  }
  const int signals = StopSignalCount();
  if (signals > signalsNoted_) {
    Line(signalsNoted_ == 0 ? SignalName(StopSignal()) + " received" : "another stop signal received");
    signalsNoted_ = signals;
  }
}

void TracingPort::Line(const std::string& text) {
  if (finished_) return;
  const double now = clock_.TimeOfDay();
  double step = now - last_;
  // The time of day only goes back when it passes midnight.
  if (step < 0) step += kSecondsPerDay;
  elapsed_ += step;
  last_ = now;
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%8lld ms  ", std::llround(elapsed_ * 1000.0));
  out_ << stamp << text << '\n';
  out_.flush();
}

std::string TracingPort::PortName() const {
  const int number = port_.Describe().commPort;
  std::string name = "COM" + std::to_string(number);
  const std::string device = device_ ? device_(number) : std::string();
  if (!device.empty()) name += " (" + device + ")";
  return name;
}

void TracingPort::Open(const PortRequest& request) {
  NotePending();
  if (auto error = ErrorOf([&] { port_.Open(request); })) {
    Line("open " + PortName() + " " + FormatLineSettings(request.settings) + " failed: " + ErrorText(*error));
    throw *error;
  }
  const PortDescription port = port_.Describe();
  // A serial server on the network says which settings its line took.
  Line("open " + PortName() + " " + FormatLineSettings(port.settings) +
       (port.confirmed ? ", the server confirmed " + FormatLineSettings(*port.confirmed) : ""));
}

void TracingPort::Close() {
  const bool wasOpen = port_.IsOpen();
  NotePending();
  port_.Close();
  if (wasOpen) Line("close " + PortName());
}

Bytes TracingPort::ReadAll() {
  Bytes bytes;
  if (auto error = ErrorOf([&] { bytes = port_.ReadAll(); })) {
    Line("<  read failed: " + ErrorText(*error));
    throw *error;
  }
  if (!bytes.empty()) {
    unansweredSince_.reset();
    NotePending();
    Line("<  " + HexBytes(bytes, std::vector<bool>(bytes.size(), false)) + "  | " + DescribeRead(bytes));
  }
  return bytes;
}

void TracingPort::Write(const Bytes& bytes) {
  std::vector<bool> hidden(bytes.size(), false);
  const std::string description = bytes.empty() ? std::string("nothing") : DescribeWritten(bytes, hidden);
  NotePending();
  if (auto error = ErrorOf([&] { port_.Write(bytes); })) {
    Line(">  " + HexBytes(bytes, hidden) + "  | " + description + "; not sent: " + ErrorText(*error));
    throw *error;
  }
  if (bytes.empty()) return;
  Line(">  " + HexBytes(bytes, hidden) + "  | " + description);
  unansweredSince_ = elapsed_;
}

}  // namespace kbx
