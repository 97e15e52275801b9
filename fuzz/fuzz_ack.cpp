// Any answer to a command: judged by CheckAck as every caller calls it (9),
// and with the block number the answer carries.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"

using namespace kbx;
using namespace kbx::fuzz;

namespace {

// The board line for an acknowledgement status, "" for acceptance.
std::string StatusLine(int status) {
  switch (status) {
    case 0x31:
      return "";
    case 0x32:
      return "Command Not Implemented (32)";
    case 0x33:
      return "UPS Busy (33)";
    case 0x34:
      return "Command Unrecognized (34)";
    case 0x35:
      return "Command Parameter out of range (35)";
    case 0x36:
      return "Command Parameter invalid (36)";
    case 0x37:
      return "Command Accepted with parameter adjusted (37)";
    default:
      return "Unknown ACK " + std::to_string(status);
  }
}

void Judge(const Bytes& received, const Bytes& rx, int block) {
  Rig rig;
  rig.port.Deliver(received, 0);
  const bool ok = rig.xcp.CheckAck(block);
  const int b = rx[1];
  const int status = rx[4];
  if (b != 9) {
    FUZZ_CHECK(ok == (b == block));
    FUZZ_CHECK(rig.host.board.empty());
  } else {
    FUZZ_CHECK(ok == (status == 0x31));
    const std::string line = StatusLine(status);
    if (line.empty()) {
      FUZZ_CHECK(rig.host.board.empty());
    } else {
      FUZZ_CHECK(rig.host.board == std::vector<std::string>{line});
    }
  }
  // Only the two raw bytes count: the frame is not decoded, and all is read.
  FUZZ_CHECK(rig.port.BytesWaiting() == 0);
  FUZZ_CHECK(rig.port.writes.empty());
  FUZZ_CHECK(rig.clock.SleptMs() == 800);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Bytes received(data, data + std::min<std::size_t>(size, 1024));
  Bytes rx = received;
  rx.resize(1024, 0);
  Judge(received, rx, 9);
  Judge(received, rx, rx[1]);
  return 0;
}
