// Any identification block: taken apart under the trap of ReadIdentification
// (directly, and end to end with a UPS that sends it in answer to 0xA0), and
// compared with an independent reading of its fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz_support.h"
#include "link/error_trap.h"

using namespace kbx;
using namespace kbx::fuzz;

namespace {

// What a block says, field after field, and where reading it stops.
struct Fields {
  std::string version[6] = {"", "0.00", "0.00", "0.00", "0.00", "0.00"};  // processors 1 to 5
  std::int16_t meterMapLength = 0;
  std::int16_t flagMapLength = 0;
  std::int16_t typeBlockLength = 0;
  std::int16_t thirdMapLength = 0;
  std::vector<std::int16_t> meterNumber;
  std::vector<std::int16_t> meterFormat;
  int error = 0;  // 0, 9 for a block that ends too soon, 6 for a type block length above 32767
};

// A version field's text: the major byte in hexadecimal, ".", the minor byte
// as two hexadecimal digits, letters or not.
std::string VersionText(unsigned major, unsigned minor) {
  char text[16];
  std::snprintf(text, sizeof text, "%X.%02X", major, minor);
  return text;
}

Fields Read(const Bytes& b, const std::vector<std::int16_t>& numbers,
            const std::vector<std::int16_t>& formats) {
  Fields f;
  f.meterNumber = numbers;
  f.meterFormat = formats;
  std::size_t i = 0;
  bool short_ = false;
  auto next = [&]() -> unsigned {
    if (i >= b.size()) {
      short_ = true;
      return 0;
    }
    return b[i++];
  };
#define NEXT(var)              \
  const unsigned var = next(); \
  if (short_) {                \
    f.error = kErrSubscript;   \
    return f;                  \
  }
  NEXT(processors);
  for (unsigned c = 1; c <= processors; ++c) {
    NEXT(minor);
    NEXT(major);
    if (c <= 5) f.version[c] = VersionText(major, minor);
  }
  NEXT(selector);
  if (selector == 0) i += 2;
  i += 2;
  NEXT(skip);
  i += skip;
  NEXT(meters);
  f.meterMapLength = static_cast<std::int16_t>(meters);
  std::size_t reported = 0;
  for (unsigned j = 1; j <= meters; ++j) {
    NEXT(format);
    if (format == 0) continue;
    f.meterNumber.resize(reported + 1);
    f.meterFormat.resize(reported + 1);
    f.meterNumber[reported] = static_cast<std::int16_t>(j);
    f.meterFormat[reported] = static_cast<std::int16_t>(format);
    ++reported;
  }
  NEXT(flags);
  f.flagMapLength = static_cast<std::int16_t>(flags);
  i += flags;
  NEXT(low);
  NEXT(high);
  if (high >= 0x80) {
    f.error = kErrOverflow;
    return f;
  }
  f.typeBlockLength = static_cast<std::int16_t>(low + 256 * high);
  NEXT(third);
  f.thirdMapLength = static_cast<std::int16_t>(third);
  for (unsigned s = 0; s < third; ++s) {
    NEXT(entry);
    (void)entry;
  }
#undef NEXT
  return f;
}

// What a unit identified earlier left behind, which a block without any
// reported meter must keep.
const std::vector<std::int16_t> kEarlierNumbers{3, 10, 36};
const std::vector<std::int16_t> kEarlierFormats{0x40, 0x40, 0xF0};

void Prepare(Xcp& xcp) {
  XcpProbe::SetMeters(xcp, kEarlierNumbers, kEarlierFormats);
}

void Compare(const Rig& rig, const Fields& want) {
  const Xcp& x = rig.xcp;
  for (int c = 1; c <= 5; ++c) FUZZ_CHECK(x.ProcessorVersion(c).Text() == want.version[c]);
  FUZZ_CHECK(x.MeterMapLength() == want.meterMapLength);
  FUZZ_CHECK(x.FlagMapLength() == want.flagMapLength);
  FUZZ_CHECK(x.TypeBlockLength() == want.typeBlockLength);
  FUZZ_CHECK(x.ThirdMapLength() == want.thirdMapLength);
  FUZZ_CHECK(x.MeterNumbers() == want.meterNumber);
  FUZZ_CHECK(x.MeterFormats() == want.meterFormat);
  FUZZ_CHECK(x.MeterNumbers().size() == x.MeterFormats().size());
  for (auto format : x.MeterFormats()) FUZZ_CHECK(format >= 1 && format <= 255);
  if (want.error != 0) {
    FUZZ_CHECK(rig.host.board == std::vector<std::string>{ErrorLine(want.error, 9)});
  } else {
    FUZZ_CHECK(rig.host.board.empty());
  }
}

// The block parsed under the trap ReadIdentification puts around it.
void Direct(const Bytes& block, const Fields& want) {
  Rig rig;
  Prepare(rig.xcp);
  RunTrapped(rig.host, Routine::kReadIdentification, [&] {
    try {
      XcpProbe::TakeIdentification(rig.xcp, block);
    } catch (const RunTimeError& e) {
      FUZZ_CHECK(e.number() == kErrSubscript || e.number() == kErrOverflow);
      throw;
    }
  });
  Compare(rig, want);
}

// ReadIdentification with a UPS that answers 0xA0 with the block (in as many
// frames as it needs) and nothing else.
void EndToEnd(const Bytes& block, const Fields& want) {
  Rig rig;
  Prepare(rig.xcp);
  const bool answered = !block.empty() && block.size() <= kMaxFramedData;
  rig.port.AnswerEach(
      [&](const Bytes& frame) {
        return answered && frame == Bytes{0xAB, 0x01, 0xA0, 0xB4} ? Frames(1, block) : Bytes{};
      },
      0);
  rig.xcp.ReadIdentification();
  FUZZ_CHECK(rig.port.writes.size() >= 2);
  FUZZ_CHECK((rig.port.writes[0].bytes == Bytes{0xAB, 0x04, 0xCF, 0x4B, 0x42, 0x58, 0x9D}));
  if (answered) {
    FUZZ_CHECK(rig.port.writes.size() == 2);
    Compare(rig, want);
  } else {
    // No identification: nothing is parsed, nothing is reported.
    FUZZ_CHECK(rig.port.writes.size() == 1 + 6);
    Fields none;
    none.meterNumber = kEarlierNumbers;
    none.meterFormat = kEarlierFormats;
    Compare(rig, none);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Bytes block(data, data + size);
  const Fields want = Read(block, kEarlierNumbers, kEarlierFormats);
  Direct(block, want);
  EndToEnd(block, want);
  return 0;
}
