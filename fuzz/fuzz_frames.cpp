// Any 1024 received bytes: decoding them (DecodeAnswer), judging them as a
// fresh answer (GetResponse), and a whole exchange with a UPS that answers
// every frame with them (XcpTransact).
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "link/frame.h"

using namespace kbx;
using namespace kbx::fuzz;

namespace {

bool EndsTheExchange(int code) {
  return code == 0x31 || code == 0x32 || (code >= 0x34 && code <= 0x37);
}

// Decodes the receive buffer and checks the outcome and the data against
// the reference reading, which is written apart from the decoder on purpose.
Reference DecodeInPlace(const Bytes& rx) {
  const Reference ref = DecodeLast(rx);
  const DecodedResponse got = DecodeAnswer(rx);
  using Outcome = DecodedResponse::Outcome;
  const Decoded outcome = got.outcome == Outcome::kComplete  ? Decoded::kValid
                          : got.outcome == Outcome::kInvalid ? Decoded::kInvalid
                                                             : Decoded::kPastTheEnd;
  FUZZ_CHECK(outcome == ref.outcome);
  if (outcome == Decoded::kValid) {
    FUZZ_CHECK(got.data == ref.block);
    FUZZ_CHECK(got.block == rx[ref.start + 1]);
    FUZZ_CHECK(got.end == ref.end);
    // Never more than the data bytes that 1024 bytes of frames can carry.
    FUZZ_CHECK(!got.data.empty());
    FUZZ_CHECK(ref.start + got.data.size() + 5 * static_cast<std::size_t>(ref.frames) <= 1024);
  }
  return ref;
}

void FreshAnswer(const Bytes& received, const Bytes& rx, const Reference& ref) {
  Rig rig;
  rig.port.Deliver(received, 0);
  const auto response = XcpProbe::GetResponse(rig.link);
  const int code = response.code;
  FUZZ_CHECK(code >= 0 && code <= 255);
  FUZZ_CHECK(code == ReplyCode(rx, ref));
  FUZZ_CHECK(rig.port.BytesWaiting() == 0);
  if (ref.outcome == Decoded::kPastTheEnd) {
    FUZZ_CHECK(rig.host.board == std::vector<std::string>{ErrorLine(kErrSubscript, 35)});
  } else {
    FUZZ_CHECK(rig.host.board.empty());
  }
  FUZZ_CHECK(response.data == (ref.outcome == Decoded::kValid ? ref.block : Bytes{0}));
  // A line that is quiet at once: one 600 ms window and the 200 ms settle.
  FUZZ_CHECK(rig.clock.SleptMs() == 800);
  FUZZ_CHECK(rig.port.writes.empty());
}

void Exchange(const Bytes& received, const Bytes& rx, const Reference& ref, int expect) {
  Rig rig;
  rig.port.AnswerEach([&](const Bytes&) { return received; }, 0);
  const Reply reply = rig.link.XcpTransact({0x34}, expect);
  const bool ok = reply.accepted;
  const int code = ReplyCode(rx, ref);
  FUZZ_CHECK(ok == (code == expect));
  const std::size_t writes = (code == expect || EndsTheExchange(code)) ? 1 : 6;
  FUZZ_CHECK(rig.port.writes.size() == writes);
  for (const auto& w : rig.port.writes) FUZZ_CHECK(w.bytes == (Bytes{0xAB, 0x01, 0x34, 0x20}));
  if (ok) FUZZ_CHECK(reply.data == ref.block);
  if (ref.outcome == Decoded::kPastTheEnd) {
    // Each of the five reads is reported by GetResponse and asked again.
    FUZZ_CHECK(rig.host.board == std::vector<std::string>(5, ErrorLine(kErrSubscript, 35)));
  } else {
    FUZZ_CHECK(rig.host.board.empty());
  }
  // 500 ms after the first write, then at most 5 x (800 ms read + 500 ms).
  FUZZ_CHECK(rig.clock.SleptMs() <= 500 + 5 * 1300);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Bytes received(data, data + std::min<std::size_t>(size, 1024));
  Bytes rx = received;
  rx.resize(1024, 0);
  const Reference ref = DecodeInPlace(rx);
  FreshAnswer(received, rx, ref);
  Exchange(received, rx, ref, 4);
  Exchange(received, rx, ref, 0x31);
  return 0;
}
