// Any 1024 received bytes: decoding them (ExtractResponse), judging them as a
// fresh answer (GetResponse), and a whole exchange with a UPS that answers
// every frame with them (XcpTransact).
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"

using namespace kbx;
using namespace kbx::fuzz;

namespace {

bool IsRefusal(int code) {
  return code == 0x31 || code == 0x32 || (code >= 0x34 && code <= 0x37);
}

// Decodes in place and checks the outcome and the data against the
// reference reading.
Reference DecodeInPlace(const Bytes& rx) {
  const Reference ref = DecodeLast(rx);
  Rig rig;
  XcpProbe::RxBuffer(rig.link) = rx;
  Decoded got = Decoded::kInvalid;
  try {
    got = XcpProbe::ExtractResponse(rig.link) ? Decoded::kValid : Decoded::kInvalid;
  } catch (const RunTimeError& e) {
    // No trap of its own: a read past byte 1023 reaches the caller as 9.
    FUZZ_CHECK(e.number() == kErrSubscript);
    got = Decoded::kPastTheEnd;
  }
  FUZZ_CHECK(got == ref.outcome);
  const Bytes& response = XcpProbe::Response(rig.link);
  if (got == Decoded::kValid) FUZZ_CHECK(response == ref.block);
  if (got == Decoded::kValid) {
    // Never more than the data bytes that 1024 bytes of frames can carry.
    FUZZ_CHECK(!response.empty());
    FUZZ_CHECK(ref.start + response.size() + 5 * static_cast<std::size_t>(ref.frames) <= 1024);
  }
  FUZZ_CHECK(XcpProbe::RxBuffer(rig.link) == rx);  // decoding only reads
  FUZZ_CHECK(rig.host.board.empty());
  return ref;
}

void FreshAnswer(const Bytes& received, const Bytes& rx, const Reference& ref) {
  Rig rig;
  rig.port.Deliver(received, 0);
  const int code = XcpProbe::GetResponse(rig.link);
  FUZZ_CHECK(code >= 0 && code <= 255);
  FUZZ_CHECK(code == ReplyCode(rx, ref));
  FUZZ_CHECK(XcpProbe::RxBuffer(rig.link) == rx);  // all that arrived, the rest zeros
  FUZZ_CHECK(rig.port.BytesWaiting() == 0);
  if (ref.outcome == Decoded::kPastTheEnd) {
    FUZZ_CHECK(rig.host.board == std::vector<std::string>{ErrorLine(kErrSubscript, 35)});
  } else {
    FUZZ_CHECK(rig.host.board.empty());
  }
  if (code != 0) FUZZ_CHECK(XcpProbe::Response(rig.link) == ref.block);
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
  const std::size_t writes = (code == expect || IsRefusal(code)) ? 1 : 6;
  FUZZ_CHECK(rig.port.writes.size() == writes);
  for (const auto& w : rig.port.writes) FUZZ_CHECK(w.bytes == (Bytes{0xAB, 0x01, 0x34, 0x20}));
  if (ok) FUZZ_CHECK(reply.data == ref.block);
  if (ref.outcome == Decoded::kPastTheEnd) {
    // Each of the five reads is reported by GetResponse and asked again.
    FUZZ_CHECK(rig.host.board == std::vector<std::string>(5, ErrorLine(kErrSubscript, 35)));
  } else {
    FUZZ_CHECK(rig.host.board.empty());
  }
  FUZZ_CHECK((rig.host.statuses == std::vector<int>{1, 0}));
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
