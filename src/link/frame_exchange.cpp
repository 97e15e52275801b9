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
bool EndsTheExchange(int reply) {
  return reply == kAckAccepted || reply == kAckNotImplemented ||
         (reply >= kAckUnrecognized && reply <= kAckAdjusted);
}
// The receive buffer after a read: the bytes read, then zeros to its 1024 bytes.
Bytes ReceiveBuffer(const Bytes& read) {
  Bytes buffer(static_cast<std::size_t>(kRxBufferSize), 0);
  std::copy_n(read.begin(), std::min(read.size(), buffer.size()), buffer.begin());
  return buffer;
}
}  // namespace

Reply XcpLink::XcpTransact(const Bytes& request, int expectedReply) {
  // A trapped error leaves the exchange hook at 1.
  return RunTrapped(host_, Routine::kXcpTransact, Reply{}, [&] {
    host_.UpdateStatus(1);
    FlushPort();
    Reply reply;
    reply.data.assign(1, 0);
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
          Response response = GetResponse();
          if (response.code == expectedReply || EndsTheExchange(response.code)) {
            reply.accepted = response.code == expectedReply;
            reply.data = std::move(response.data);
            break;
          }
          // Nothing usable, the UPS is busy, or another block: ask again. What
          // is left of the last answer goes first, so that the answer to the
          // repeated frame, however soon it comes, is the one read next.
          FlushPort();
          port_.Write(txFrame_);
          Sleep(kPauseAfterWriteMs);
        }
      }
    }
    host_.UpdateStatus(0);
    return reply;
  });
}

std::optional<Bytes> XcpLink::ReadPort() {
  return RunTrapped(host_, Routine::kReadPort, std::optional<Bytes>(), [&]() -> std::optional<Bytes> {
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
      if (ExchangeBudgetSpent()) return Bytes();
      start += 2.0f;
    }
    Sleep(kSettleMs);
    if (port_.BytesWaiting() == 0) return Bytes();
    // Keep everything the read brings, also what arrived after the count, up
    // to the receive buffer's size.
    Bytes read = port_.ReadAll();
    if (read.size() > static_cast<std::size_t>(kRxBufferSize))
      read.resize(static_cast<std::size_t>(kRxBufferSize));
    return read;
  });
}

bool XcpLink::ExchangeBudgetSpent() const {
  double elapsed = clock_.TimeOfDay() - txStartTime_;
  if (elapsed < -kSecondsPerDay / 2) elapsed += kSecondsPerDay;  // the time of day went past midnight
  return !(elapsed < kBudgetSeconds);
}

XcpLink::Response XcpLink::GetResponse() {
  return RunTrapped(host_, Routine::kGetResponse, Response{}, [&] {
    const std::optional<Bytes> read = ReadPort();
    if (!read) return Response{};
    DecodedResponse answer = DecodeAnswer(ReceiveBuffer(*read));
    // Decoding runs off the receive buffer: the technician knows it as 9.
    if (answer.outcome == DecodedResponse::Outcome::kPastTheEnd) throw RunTimeError(kErrSubscript);
    if (answer.outcome != DecodedResponse::Outcome::kComplete) return Response{};
    const int code = answer.block == kAckBlock ? int{answer.data[0]} : int{answer.block};
    return Response{code, std::move(answer.data)};
  });
}

bool XcpLink::ReceiveFrame() {
  const std::optional<Bytes> read = ReadPort();
  return read && !read->empty() && read->front() == kFrameStart;
}

bool XcpLink::SendDisconnect() {
  return XcpTransact({kDisconnectCommand}, 0).accepted;
}

bool XcpLink::CheckAck(int expectedBlock) {
  return RunTrapped(host_, Routine::kCheckAck, false, [&] {
    const std::optional<Bytes> read = ReadPort();
    if (!read) {
      host_.AddToBoard(kNoAck);
      return false;
    }
    // The first two raw bytes of the answer: its block, and an acknowledgement's status.
    const Bytes answer = ReceiveBuffer(*read);
    const int block = answer[1];
    if (block != kAckBlock) return block == expectedBlock;
    const std::uint8_t status = answer[4];
    if (status == kAckAccepted) return true;
    host_.AddToBoard(FailureLine(AckBoardLine(status)));
    return false;
  });
}

}  // namespace kbx
