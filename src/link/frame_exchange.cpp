// One request at a time: frame it, write it, wait, collect the answer until
// the line falls quiet, check it, and try again within fixed limits.
#include <algorithm>

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

// Every status but busy ends the exchange: the UPS has said what it will do.
bool IsRefusal(int reply) {
  return reply == kAckAccepted || reply == kAckNotImplemented ||
         (reply >= kAckUnrecognized && reply <= kAckAdjusted);
}
}  // namespace

std::uint8_t XcpLink::Rx(long index) const {
  if (index < 0 || index >= static_cast<long>(RxBuffer.size())) throw RunTimeError(kErrSubscript);
  return RxBuffer[static_cast<std::size_t>(index)];
}

bool XcpLink::XcpTransact(int iLength, const Bytes& data, int iExpect) {
  bool result = false;
  try {
    host_.UpdateStatus(1);
    FlushPort();
    std::fill(RxBuffer.begin(), RxBuffer.end(), 0);
    if (port_.PortOpen()) {
      if (iLength < 0 || iLength > 255 || data.size() < static_cast<std::size_t>(iLength)) {
        throw RunTimeError(kErrSubscript);
      }
      TxFrame = BuildRequestFrame(Bytes(data.begin(), data.begin() + iLength));
      port_.Output(TxFrame);
      lTxStartTime = ToLong(clock_.TimeOfDay());
      Sleep(kPauseAfterWriteMs);
      if (iExpect <= 0) {
        result = true;
      } else {
        for (int attempts = 0;;) {
          if (!(clock_.TimeOfDay() < lTxStartTime + kBudgetSeconds) || attempts >= kMaxAttempts) break;
          ++attempts;
          const int reply = GetResponse();
          if (reply == iExpect) {
            result = true;
            break;
          }
          if (IsRefusal(reply)) break;
          // Nothing usable, the UPS is busy, or another block: ask again. What
          // is left of the last answer goes first, so that the answer to the
          // repeated frame, however soon it comes, is the one read next.
          FlushPort();
          port_.Output(TxFrame);
          Sleep(kPauseAfterWriteMs);
        }
      }
    }
  } catch (const RunTimeError& e) {
    RecordError(e);
    ErrorCheck(5);
    return false;
  }
  host_.UpdateStatus(0);
  return result;
}

bool XcpLink::ReadPort() {
  try {
    std::fill(RxBuffer.begin(), RxBuffer.end(), 0);
    // The windows are measured on a single-precision time of day.
    auto now = [this] { return static_cast<float>(clock_.TimeOfDay()); };
    float start = now();
    while (now() < start + static_cast<float>(iRxTimeout)) {
      const int before = port_.InBufferCount();
      Sleep(kQuietWindowMs);
      const int arrived = port_.InBufferCount() - before;
      if (now() < start + static_cast<float>(iRxTimeout) && arrived == 0) break;  // quiet for a window
      start += 2.0f;
    }
    Sleep(kSettleMs);
    if (port_.InBufferCount() > 0) {
      // Keep everything the read brings, also what arrived after the count.
      RxChunk = port_.Input();
      const std::size_t n = std::min(RxChunk.size(), RxBuffer.size());
      std::copy_n(RxChunk.begin(), n, RxBuffer.begin());
      RxChunk.clear();
    }
    return true;
  } catch (const RunTimeError& e) {
    RecordError(e);
    ErrorCheck(4);
    return false;
  }
}

bool XcpLink::ExtractResponse() {
  long start = 0;
  long end = 0;
  if (!ExtractResponseAt(start, end)) return false;
  // An answer that came too late for an earlier request can stand in front
  // of the one to this request: a complete response that follows is the
  // answer. A broken one is noise and leaves the answer as it was.
  while (end < static_cast<long>(RxBuffer.size()) && RxBuffer[static_cast<std::size_t>(end)] == kFrameStart) {
    const Bytes answer = ResponseBlock;
    long next = 0;
    bool complete = false;
    try {
      complete = ExtractResponseAt(end, next);
    } catch (const RunTimeError&) {
      complete = false;  // runs past the buffer
    }
    if (!complete) {
      ResponseBlock = answer;
      break;
    }
    start = end;
    end = next;
  }
  responseStart_ = start;
  return true;
}

bool XcpLink::ExtractResponseAt(long start, long& end) {
  ResponseBlock.assign(1, 0);
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
    const int len = Rx(p + 2);
    if (len < 1 || len > kMaxFrameData) return false;
    const std::size_t base = first ? 0 : ResponseBlock.size();
    ResponseBlock.resize(base + static_cast<std::size_t>(len));
    first = false;
    const int sequence = Rx(p + 3);
    if (sequence & kLastFrameBit) last = true;
    if ((sequence & kFrameNumberMask) != expected) return false;
    expected = (sequence & kFrameNumberMask) + 1;
    unsigned sum = Rx(p) + Rx(p + 1) + Rx(p + 2) + Rx(p + 3);
    for (int i = 0; i < len; ++i) {
      const std::uint8_t byte = Rx(p + 4 + i);
      ResponseBlock[base + static_cast<std::size_t>(i)] = byte;
      sum += byte;
    }
    if (Rx(p + 4 + len) != (256 - sum % 256) % 256) return false;
    p += 5 + len;
  }
}

int XcpLink::GetResponse() {
  try {
    if (ReadPort() && ExtractResponse()) {
      const std::uint8_t block = Rx(responseStart_ + 1);
      return block == kAckBlock ? ResponseBlock[0] : block;
    }
    return 0;
  } catch (const RunTimeError& e) {
    RecordError(e);
    ErrorCheck(35);
    return 0;
  }
}

bool XcpLink::ReceiveFrame() {
  ReadPort();
  return Rx(0) == kFrameStart;
}

bool XcpLink::SendDisconnect() {
  RequestBlock = {kDisconnectCommand};
  return XcpTransact(static_cast<int>(RequestBlock.size()), RequestBlock, 0);
}

bool XcpLink::CheckAck(int iBlock) {
  try {
    if (!ReadPort()) {
      AddToBoard("NO ACK");
      return false;
    }
    const int block = Rx(1);
    if (block != kAckBlock) return block == iBlock;
    const std::uint8_t status = Rx(4);
    if (status == kAckAccepted) return true;
    AddToBoard(AckBoardLine(status));
    return false;
  } catch (const RunTimeError& e) {
    RecordError(e);
    ErrorCheck(3);
    return false;
  }
}

}  // namespace kbx
