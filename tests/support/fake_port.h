#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/serial_port.h"
#include "virtual_clock.h"

namespace kbx::test {

// A serial port in memory on the virtual clock, for the tests, the fuzzers and
// the benchmark. What the UPS sends is scheduled at a time of the clock and
// becomes readable when it is due; the receive side keeps 1024 bytes.
class FakePort : public SerialPort {
 public:
  struct Write {
    double at;
    Bytes bytes;
  };

  explicit FakePort(VirtualClock& clock) : clock_(clock) {}

  // --- test controls ---------------------------------------------------------
  std::set<int> existing{1, 2};
  int openError = 0;    // thrown by the next Open when not 0
  PortFailure openWhy;  // and why, in words, when it has a reason
  int readError = 0;    // thrown by every look at the receive side when not 0
  // The error number an Output of these bytes fails with, 0 to write them.
  std::function<int(const Bytes&)> writeFault;
  std::vector<Write> writes;
  std::vector<PortRequest> opens;  // every request to open, in order
  // Called for every Write; it may Deliver an answer.
  std::function<void(const Bytes&)> onWrite;

  void Deliver(const Bytes& bytes, int delayMs = 20);
  // Called as ReadAll starts: what it delivers arrived between the count and the read.
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

  // --- SerialPort ------------------------------------------------------------
  void Open(const PortRequest& request) override;
  void Close() override { open_ = false; }
  bool IsOpen() const override { return open_; }
  int BytesWaiting() override;
  Bytes ReadAll() override;
  void Write(const Bytes& bytes) override;
  int PendingOutput() override { return 0; }
  void DiscardInput() override;
  PortDescription Describe() const override {
    return {commPort_, settings_, "/dev/fake" + std::to_string(commPort_), std::nullopt};
  }

 private:
  struct Arrival {
    double at;
    Bytes bytes;
  };
  void TakeDue();

  VirtualClock& clock_;
  int commPort_ = 1;
  LineSettings settings_;
  bool open_ = false;
  Bytes in_;
  std::vector<Arrival> pending_;  // by time of arrival
  std::function<Bytes(const Bytes&)> answer_;
};

}  // namespace kbx::test
