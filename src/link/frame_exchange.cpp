// One request at a time: frame it, write it, wait, collect the answer until
// the line falls quiet, check it, and try again within fixed limits.
#include <algorithm>

#include "link/board_lines.h"
#include "link/error_trap.h"
#include "link/frame.h"
#include "link/numbers.h"
#include "link/xcp_link.h"

namespace kbx {

namespace {
constexpr int kPauseAfterWriteMs = 500;
constexpr int kQuietWindowMs = 600;
constexpr int kSettleMs = 200;
constexpr int kBudgetSeconds = 15;
constexpr int kMaxAttempts = 5;
constexpr double kSecondsPerDay = 86400;
constexpr std::size_t kMaxRequestLength = 255;

// Every status but busy ends the exchange: the UPS has said what it will do.
bool IsRefusal(int reply) {
  return reply == kAckAccepted || reply == kAckNotImplemented ||
         (reply >= kAckUnrecognized && reply <= kAckAdjusted);
}
}  // namespace

std::uint8_t XcpLink::Rx(long index) const {
  if (index < 0 || index >= static_cast<long>(rxBuffer_.size())) throw RunTimeError(kErrSubscript);
  return rxBuffer_[static_cast<std::size_t>(index)];
}

Reply XcpLink::XcpTransact(const Bytes& request, int expectedReply) {
  // A trapped error leaves the exchange hook at 1.
  return RunTrapped(host_, Routine::kXcpTransact, Reply{}, [&] {
    host_.UpdateStatus(1);
    FlushPort();
    std::fill(rxBuffer_.begin(), rxBuffer_.end(), 0);
    Reply reply;
    if (port_.IsOpen()) {
      if (request.size() > kMaxRequestLength) throw RunTimeError(kErrSubscript);
      txFrame_ = BuildRequestFrame(request);
      port_.Write(txFrame_);
      reply.sent = true;
      txStartTime_ = ToLong(clock_.TimeOfDay());
      Sleep(kPauseAfterWriteMs);
      if (expectedReply <= 0) {
        reply.accepted = true;
      } else {
        for (int attempts = 0;;) {
          if (!(clock_.TimeOfDay() < txStartTime_ + kBudgetSeconds) || attempts >= kMaxAttempts) break;
          ++attempts;
          const int code = GetResponse();
          if (code == expectedReply) {
            reply.accepted = true;
            break;
          }
          if (IsRefusal(code)) break;
          // Nothing usable, the UPS is busy, or another block: ask again. What
          // is left of the last answer goes first, so that the answer to the
          // repeated frame, however soon it comes, is the one read next.
          FlushPort();
          port_.Write(txFrame_);
          Sleep(kPauseAfterWriteMs);
        }
      }
    }
    reply.data = responseBlock_;
    host_.UpdateStatus(0);
    return reply;
  });
}

bool XcpLink::ReadPort() {
  return RunTrapped(host_, Routine::kReadPort, false, [&] {
    std::fill(rxBuffer_.begin(), rxBuffer_.end(), 0);
    // The windows are measured on a single-precision time of day.
    auto now = [this] { return static_cast<float>(clock_.TimeOfDay()); };
    const auto window = static_cast<float>(rxTimeoutSeconds_);
    float start = now();
    while (now() < start + window) {
      const int before = port_.BytesWaiting();
      Sleep(kQuietWindowMs);
      const int arrived = port_.BytesWaiting() - before;
      if (now() < start + window && arrived == 0) break;  // quiet for a window
      // A line that never falls quiet is not read for ever: once the
      // exchange's budget is spent, the read ends with nothing, as when no
      // answer came.
      if (ExchangeBudgetSpent()) return true;
      start += 2.0f;
    }
    Sleep(kSettleMs);
    if (port_.BytesWaiting() > 0) {
      // Keep everything the read brings, also what arrived after the count.
      const Bytes chunk = port_.ReadAll();
      std::copy_n(chunk.begin(), std::min(chunk.size(), rxBuffer_.size()), rxBuffer_.begin());
    }
    return true;
  });
}

bool XcpLink::ExtractResponse() {
  long start = 0;
  long end = 0;
  if (!ExtractResponseAt(start, end)) return false;
  // An answer that came too late for an earlier request can stand in front
  // of the one to this request: a complete response that follows is the
  // answer. A broken one, or one that runs past the buffer, is noise and
  // leaves the answer as it was.
  while (end < static_cast<long>(rxBuffer_.size()) &&
         rxBuffer_[static_cast<std::size_t>(end)] == kFrameStart) {
    const Bytes answer = responseBlock_;
    long next = 0;
    bool complete = false;
    if (ErrorOf([&] { complete = ExtractResponseAt(end, next); }) || !complete) {
      responseBlock_ = answer;
      break;
    }
    start = end;
    end = next;
  }
  responseStart_ = start;
  return true;
}

bool XcpLink::ExtractResponseAt(long start, long& end) {
  responseBlock_.assign(1, 0);
  int expected = 1;
  long p = start;
  bool first = true;
  bool last = false;
  for (;;) {
    if (last) {
      end = p;
      return true;
    }
    if (Rx(p) != kFrameStart) return false;
    const int length = Rx(p + 2);
    if (length < 1 || length > kMaxFrameData) return false;
    const std::size_t base = first ? 0 : responseBlock_.size();
    responseBlock_.resize(base + static_cast<std::size_t>(length));
    first = false;
    const int sequence = Rx(p + 3);
    if (sequence & kLastFrameBit) last = true;
    if ((sequence & kFrameNumberMask) != expected) return false;
    expected = (sequence & kFrameNumberMask) + 1;
    unsigned sum = Rx(p) + Rx(p + 1) + Rx(p + 2) + Rx(p + 3);
    for (int i = 0; i < length; ++i) {
      const std::uint8_t byte = Rx(p + 4 + i);
      responseBlock_[base + static_cast<std::size_t>(i)] = byte;
      sum += byte;
    }
    if (Rx(p + 4 + length) != (256 - sum % 256) % 256) return false;
    p += 5 + length;
  }
}

bool XcpLink::ExchangeBudgetSpent() const {
  double elapsed = clock_.TimeOfDay() - txStartTime_;
  if (elapsed < -kSecondsPerDay / 2) elapsed += kSecondsPerDay;  // the time of day went past midnight
  return !(elapsed < kBudgetSeconds);
}

int XcpLink::GetResponse() {
  return RunTrapped(host_, Routine::kGetResponse, 0, [&] {
    if (!ReadPort() || !ExtractResponse()) return 0;
    const std::uint8_t block = Rx(responseStart_ + 1);
    return block == kAckBlock ? int{responseBlock_[0]} : int{block};
  });
}

bool XcpLink::ReceiveFrame() {
  ReadPort();
  return Rx(0) == kFrameStart;
}

bool XcpLink::SendDisconnect() {
  return XcpTransact({kDisconnectCommand}, 0).accepted;
}

bool XcpLink::CheckAck(int expectedBlock) {
  return RunTrapped(host_, Routine::kCheckAck, false, [&] {
    if (!ReadPort()) {
      host_.AddToBoard(kNoAck);
      return false;
    }
    const int block = Rx(1);
    if (block != kAckBlock) return block == expectedBlock;
    const std::uint8_t status = Rx(4);
    if (status == kAckAccepted) return true;
    host_.AddToBoard(AckBoardLine(status));
    return false;
  });
}

}  // namespace kbx
