#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/serial_control.h"
#include "virtual_clock.h"

namespace kbx::test {

// A serial port in memory on the virtual clock, for the tests, the fuzzers and
// the benchmark. What the UPS sends is scheduled at a time of the clock and
// becomes readable when it is due; the receive side keeps 1024 bytes.
class FakePort : public SerialControl {
 public:
  struct Write {
    double at;
    Bytes bytes;
  };

  explicit FakePort(VirtualClock& clock) : clock_(clock) {}

  // --- test controls ---------------------------------------------------------
  std::set<int> existing{1, 2};
  int openError = 0;  // thrown by the next SetPortOpen(true) when not 0
  int readError = 0;  // thrown by every look at the receive side when not 0
  // The error number an Output of these bytes fails with, 0 to write them.
  std::function<int(const Bytes&)> writeFault;
  std::vector<Write> writes;
  std::vector<std::string> calls;  // property writes, in order
  // Called for every Output; it may Deliver an answer.
  std::function<void(const Bytes&)> onWrite;

  void Deliver(const Bytes& bytes, int delayMs = 20);
  // Called as Input starts: what it delivers arrived between the count and the read.
  std::function<void()> beforeInput;
  // Every frame written is answered with what `answer` gives for it
  // (nothing: silence), `delayMs` later.
  void AnswerEach(std::function<Bytes(const Bytes& frame)> answer, int delayMs = 20) {
    answer_ = std::move(answer);
    onWrite = [this, delayMs](const Bytes& frame) { Deliver(answer_(frame), delayMs); };
  }
  // A fixed answer per request, in order; an empty one is silence.
  void Answer(std::vector<Bytes> answers) {
    auto queue = std::make_shared<std::deque<Bytes>>(answers.begin(), answers.end());
    AnswerEach([queue](const Bytes&) {
      if (queue->empty()) return Bytes{};
      Bytes next = std::move(queue->front());
      queue->pop_front();
      return next;
    });
  }
  std::vector<Bytes> Written() const {
    std::vector<Bytes> out;
    for (const auto& w : writes) out.push_back(w.bytes);
    return out;
  }
  void SetOpenDirect(bool open) { open_ = open; }

  // --- SerialControl ---------------------------------------------------------
  void SetCommPort(int number) override;
  int CommPort() const override { return comm_port_; }
  void SetSettings(const std::string& settings) override;
  std::string Settings() const override { return settings_; }
  bool PortOpen() const override { return open_; }
  void SetPortOpen(bool open) override;
  void SetRTSEnable(bool) override { calls.push_back("RTSEnable"); }
  void SetDTREnable(bool) override { calls.push_back("DTREnable"); }
  void SetHandshaking(long) override { calls.push_back("Handshaking"); }
  void SetInBufferSize(int) override { calls.push_back("InBufferSize"); }
  void SetOutBufferSize(int) override { calls.push_back("OutBufferSize"); }
  int InBufferCount() override;
  void SetInBufferCount(int) override;
  int OutBufferCount() override { return 0; }
  void SetInputMode(long) override { calls.push_back("InputMode"); }
  void SetInputLen(int) override { calls.push_back("InputLen"); }
  void SetSThreshold(int) override { calls.push_back("SThreshold"); }
  void SetRThreshold(int) override { calls.push_back("RThreshold"); }
  Bytes Input() override;
  void Output(const Bytes& bytes) override;

 private:
  struct Arrival {
    double at;
    Bytes bytes;
  };
  void TakeDue();

  VirtualClock& clock_;
  int comm_port_ = 1;
  std::string settings_ = "9600,N,8,1";
  bool open_ = false;
  Bytes in_;
  std::vector<Arrival> pending_;  // by time of arrival
  std::function<Bytes(const Bytes&)> answer_;
};

}  // namespace kbx::test
