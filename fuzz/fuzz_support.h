#pragma once
// What every fuzz target shares: a port in memory that answers each written
// frame at once, a clock that moves only when the program sleeps, the window
// as a list of board lines, an independent reading of the frame rules, and
// the check that stops the run on a broken invariant.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/serial_control.h"
#include "support/recording_host.h"
#include "support/xcp_probe.h"
#include "ups/xcp.h"

namespace kbx::fuzz {

// Stops the run (libFuzzer then keeps the input as a crash) when an invariant
// does not hold.
#define FUZZ_CHECK(cond)                                                                \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)

// A clock that advances only by the program's sleeps. The time is kept away
// from midnight so that the program's budgets behave as they do by day.
class FuzzClock : public Clock {
 public:
  double TimeOfDay() override { return std::fmod(now_, 86400.0); }
  void Sleep(int milliseconds) override {
    FUZZ_CHECK(milliseconds >= 0);
    now_ += milliseconds / 1000.0;
    slept_ms_ += milliseconds;
  }
  long SleptMs() const { return slept_ms_; }

 private:
  double now_ = 10 * 3600.0;
  long slept_ms_ = 0;
};

// A port whose received bytes are whatever the test puts there, and which
// can answer every written frame with the bytes `answer` gives for it.
// The receive side holds 1024 bytes at most, like the real one.
class FuzzPort : public SerialControl {
 public:
  static constexpr std::size_t kCapacity = 1024;

  bool open = true;
  Bytes in;                                         // received, not yet read
  std::vector<Bytes> writes;                        // every Output, in order
  std::function<Bytes(const Bytes& frame)> answer;  // empty: silence

  void Receive(const Bytes& bytes) {
    for (auto b : bytes) {
      if (in.size() < kCapacity) in.push_back(b);
    }
  }

  void SetCommPort(int number) override { comm_ = number; }
  int CommPort() const override { return comm_; }
  void SetSettings(const std::string& settings) override { settings_ = settings; }
  std::string Settings() const override { return settings_; }
  bool PortOpen() const override { return open; }
  void SetPortOpen(bool o) override { open = o; }
  void SetRTSEnable(bool) override {}
  void SetDTREnable(bool) override {}
  void SetHandshaking(long) override {}
  void SetInBufferSize(int) override {}
  void SetOutBufferSize(int) override {}
  int InBufferCount() override { return open ? static_cast<int>(in.size()) : 0; }
  void SetInBufferCount(int) override { in.clear(); }
  int OutBufferCount() override { return 0; }
  void SetInputMode(long) override {}
  void SetInputLen(int) override {}
  void SetSThreshold(int) override {}
  void SetRThreshold(int) override {}
  Bytes Input() override {
    FUZZ_CHECK(open);
    Bytes out;
    out.swap(in);
    return out;
  }
  void Output(const Bytes& bytes) override {
    FUZZ_CHECK(open);
    if (bytes.empty()) return;
    writes.push_back(bytes);
    if (answer) Receive(answer(bytes));
  }

 private:
  int comm_ = 1;
  std::string settings_ = "19200,N,8,1";
};

using test::XcpProbe;

// One program module on the in-memory port.
struct Rig {
  FuzzClock clock;
  FuzzPort port;
  test::RecordingHost host;
  Xcp xcp{port, clock, host};
  XcpLink& link = XcpProbe::Link(xcp);
};

// A response in frames of at most 140 data bytes, numbered from 1, the last
// one marked; data must not be empty.
inline Bytes Frames(std::uint8_t block, const Bytes& data) {
  Bytes out;
  std::size_t at = 0;
  for (std::uint8_t n = 1; at < data.size(); ++n) {
    const std::size_t len = std::min<std::size_t>(140, data.size() - at);
    const bool last = at + len == data.size();
    Bytes frame{0xAB, block, static_cast<std::uint8_t>(len),
                static_cast<std::uint8_t>(n | (last ? 0x80 : 0))};
    frame.insert(frame.end(), data.begin() + static_cast<long>(at),
                 data.begin() + static_cast<long>(at + len));
    unsigned sum = 0;
    for (auto b : frame) sum += b;
    frame.push_back(static_cast<std::uint8_t>((256 - sum % 256) % 256));
    out.insert(out.end(), frame.begin(), frame.end());
    at += len;
  }
  return out;
}

// The most data bytes that fit, in frames, into the 1024 bytes of a read.
inline constexpr std::size_t kMaxFramedData = 7 * 140;

// The frame rules read independently of the program: the outcome of decoding
// the 1024 received bytes, and for a complete response where it starts, its
// data bytes, its frames and the byte after its last checksum.
enum class Decoded { kValid, kInvalid, kPastTheEnd };

struct Reference {
  Decoded outcome = Decoded::kInvalid;
  std::size_t start = 0;
  Bytes block;
  int frames = 0;
  std::size_t end = 0;
};

// One response, all its frames, from `start`.
inline Reference DecodeAt(const Bytes& rx, std::size_t start) {
  Reference r;
  r.start = start;
  std::size_t p = start;
  unsigned expected = 1;
  bool last = false;
  auto past = [&](std::size_t i) { return i >= rx.size(); };
  auto end = [&](Decoded outcome) {
    r.outcome = outcome;
    r.end = p;
    return r;
  };
  for (;;) {
    if (last) return end(Decoded::kValid);
    if (past(p)) return end(Decoded::kPastTheEnd);
    if (rx[p] != 0xAB) return end(Decoded::kInvalid);
    if (past(p + 2)) return end(Decoded::kPastTheEnd);
    const unsigned len = rx[p + 2];
    if (len < 1 || len > 140) return end(Decoded::kInvalid);
    if (past(p + 3)) return end(Decoded::kPastTheEnd);
    const unsigned sequence = rx[p + 3];
    last = (sequence & 0x80) != 0;
    if ((sequence & 0x7F) != expected) return end(Decoded::kInvalid);
    expected = (sequence & 0x7F) + 1;
    if (past(p + 4 + len)) return end(Decoded::kPastTheEnd);
    unsigned sum = 0;
    for (std::size_t i = p; i < p + 4 + len; ++i) sum += rx[i];
    if (rx[p + 4 + len] != (256 - sum % 256) % 256) return end(Decoded::kInvalid);
    r.block.insert(r.block.end(), rx.begin() + static_cast<long>(p + 4),
                   rx.begin() + static_cast<long>(p + 4 + len));
    ++r.frames;
    p += 5 + len;
  }
}

// The answer as the program takes it: the response at byte 0, unless
// complete responses follow it (late answers to earlier requests stand in
// front of the answer); then the last of them. A broken response behind a
// complete one is noise and changes nothing.
inline Reference DecodeLast(const Bytes& rx) {
  Reference answer = DecodeAt(rx, 0);
  while (answer.outcome == Decoded::kValid && answer.end < rx.size() && rx[answer.end] == 0xAB) {
    Reference next = DecodeAt(rx, answer.end);
    if (next.outcome != Decoded::kValid) break;
    answer = next;
  }
  return answer;
}

// The reply code of the answer: its first block number, or for an
// acknowledgement its status; 0 when nothing usable arrived.
inline int ReplyCode(const Bytes& rx, const Reference& ref) {
  if (ref.outcome != Decoded::kValid) return 0;
  return rx[ref.start + 1] == 9 ? ref.block[0] : rx[ref.start + 1];
}

// The board line of a trapped error: number, blank, description, blank, tag.
inline std::string ErrorLine(int number, int tag) {
  return std::to_string(number) + " " + ErrorDescription(number) + " " + std::to_string(tag);
}

// Two doubles that are the same value (NaN equals NaN here).
inline bool Same(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || a == b;
}

}  // namespace kbx::fuzz
