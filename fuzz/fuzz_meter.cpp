// Any meter map and meter block: every reported meter decoded by its format
// code (DecodeMeterValue), the reading end to end with a UPS that answers
// 0x34 with the block (GetBatteryTimeRemaining), and the Runtime command's
// board (RuntimeCommand).
//
// Input: one byte for the UPS type (the byte less 8), one for the count n of
// reported meters (modulo 48), n format codes, n meter numbers, the meter
// number to read, and the meter block.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "fuzz_support.h"
#include "ups/runtime.h"

using namespace kbx;
using namespace kbx::fuzz;

namespace {

struct Input {
  std::int16_t upsType = 0;
  std::vector<std::int16_t> formats;
  std::vector<std::int16_t> numbers;
  std::int16_t meter = 0;
  Bytes block;
};

Input Take(const std::uint8_t* data, std::size_t size) {
  std::size_t at = 0;
  auto next = [&]() -> std::uint8_t { return at < size ? data[at++] : 0; };
  Input in;
  in.upsType = static_cast<std::int16_t>(next() - 8);
  const std::size_t n = next() % 48;
  for (std::size_t k = 0; k < n; ++k) in.formats.push_back(next());
  for (std::size_t k = 0; k < n; ++k) in.numbers.push_back(next());
  in.meter = next();
  if (at < size) in.block.assign(data + at, data + size);
  return in;
}

// The rules' decoding of four meter bytes by format code. For the integer
// formats a value with the top bit set may be read either way (unsigned or
// as a negative Long): `other` is the second reading.
double Decode(int format, const std::uint8_t* b, double* other = nullptr) {
  const std::uint32_t whole = b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
  const double asSigned = static_cast<double>(static_cast<std::int32_t>(whole));
  double value = 0;
  double alternative = 0;
  if (format >= 0xF0 && format <= 0xFF) {
    value = static_cast<double>(whole) / std::pow(2.0, format - 0xF0);
    alternative = asSigned / std::pow(2.0, format - 0xF0);
  } else if (format <= 0x97) {
    float single;
    std::memcpy(&single, b, 4);
    value = alternative = single;
  } else if (format == 0xE2) {
    value = static_cast<double>(whole);
    alternative = asSigned;
  }
  if (other) *other = alternative;
  return value;
}

bool Matches(double got, int format, const std::uint8_t* b) {
  double other = 0;
  const double value = Decode(format, b, &other);
  return Same(got, value) || Same(got, other);
}

void Prepare(Rig& rig, const Input& in) {
  XcpProbe::SetUpsType(rig.xcp, in.upsType);
  XcpProbe::SetMeters(rig.xcp, in.numbers, in.formats);
  const bool answered = !in.block.empty() && in.block.size() <= kMaxFramedData;
  rig.port.AnswerEach(
      [answered, block = in.block](const Bytes& frame) {
        return answered && frame == Bytes{0xAB, 0x01, 0x34, 0x20} ? Frames(4, block) : Bytes{};
      },
      0);
}

// Every reported meter, and one past the last.
void EachMeter(const Input& in) {
  Rig rig;
  Prepare(rig, in);
  for (std::size_t k = 0; k <= in.formats.size(); ++k) {
    const bool present = k < in.formats.size() && 4 * k + 3 < in.block.size();
    try {
      const double value = XcpProbe::DecodeMeterValue(rig.xcp, in.block, k);
      FUZZ_CHECK(present);
      FUZZ_CHECK(Matches(value, in.formats[k], &in.block[4 * k]));
      const int f = in.formats[k];
      const bool decoded = f <= 0x97 || f == 0xE2 || f >= 0xF0;
      if (!decoded) FUZZ_CHECK(value == 0);
      if (f > 0x97) FUZZ_CHECK(std::isfinite(value));
    } catch (const RunTimeError& e) {
      FUZZ_CHECK(e.number() == kErrSubscript);
      FUZZ_CHECK(!present);
    }
  }
  FUZZ_CHECK(rig.host.board.empty());
}

// What a reading of the meter must give: its value, and the board line of
// the reading itself (none, or one).
struct Reading {
  double value = 0;
  double other = 0;
  std::vector<std::string> board;
  std::size_t writes = 0;
};

Reading Expect(const Input& in, std::int16_t meter) {
  Reading r;
  if (in.upsType < 1) {
    r.board = {"Invalid Machine Type"};
    return r;
  }
  const bool answered = !in.block.empty() && in.block.size() <= kMaxFramedData;
  r.writes = answered ? 1 : 6;
  if (!answered) return r;
  std::size_t k = 0;
  while (k < in.numbers.size() && in.numbers[k] != meter) ++k;
  if (k < in.formats.size() && 4 * k + 3 < in.block.size()) {
    r.value = Decode(in.formats[k], &in.block[4 * k], &r.other);
  } else {
    r.board = {ErrorLine(kErrSubscript, 10)};
  }
  return r;
}

void ReadTheMeter(const Input& in) {
  Rig rig;
  Prepare(rig, in);
  const std::int16_t meter = in.meter;
  const double value = rig.xcp.GetBatteryTimeRemaining(meter);
  const Reading want = Expect(in, meter);
  FUZZ_CHECK(Same(value, want.value) || Same(value, want.other));
  FUZZ_CHECK(rig.host.board == want.board);
  FUZZ_CHECK(rig.port.writes.size() == want.writes);
  FUZZ_CHECK(rig.clock.SleptMs() <= 500 + 5 * 1300);
}

// " H:MM:SS", or "-H:MM:SS" for a negative hour count.
bool TimeText(const std::string& t) {
  if (t.size() < 7 || (t[0] != ' ' && t[0] != '-')) return false;
  const std::size_t colon = t.find(':');
  if (colon == std::string::npos || colon < 2 || t.size() != colon + 6 || t[colon + 3] != ':') return false;
  for (std::size_t i = 1; i < t.size(); ++i) {
    if (i == colon || i == colon + 3) continue;
    if (!std::isdigit(static_cast<unsigned char>(t[i]))) return false;
  }
  return true;
}

void Command(const Input& in) {
  Rig rig;
  Prepare(rig, in);
  rig.link.SetLinkUp(true);
  const std::optional<double> seconds = RuntimeCommand(rig.xcp);
  const bool ok = seconds.has_value();
  const Reading want = Expect(in, kBatteryTimeMeter);
  const auto& board = rig.host.board;
  FUZZ_CHECK(!board.empty() && board.front() == "Getting Time Remain...");
  const double hours = want.value / 3600.0;
  const double otherHours = want.other / 3600.0;
  const bool reading = (hours != 0 && std::isfinite(hours)) || (otherHours != 0 && std::isfinite(otherHours));
  if (ok) {
    FUZZ_CHECK(reading);
    // The command hands back the very reading it shows.
    FUZZ_CHECK(Same(*seconds, want.value) || Same(*seconds, want.other));
    FUZZ_CHECK(board.size() == 3);
    const std::string prefix = "Battery Time Remain: ";
    FUZZ_CHECK(board[1].compare(0, prefix.size(), prefix) == 0);
    FUZZ_CHECK(TimeText(board[1].substr(prefix.size())));
    FUZZ_CHECK(board[2] == "Done");
  } else {
    FUZZ_CHECK(board.back() == "Error Getting Runtime");
    std::vector<std::string> lines{"Getting Time Remain..."};
    lines.insert(lines.end(), want.board.begin(), want.board.end());
    lines.push_back("Error Getting Runtime");
    FUZZ_CHECK(board == lines);
    // No reading, or one that is 0 or no finite number.
    FUZZ_CHECK(!(hours != 0 && std::isfinite(hours)) || !(otherHours != 0 && std::isfinite(otherHours)));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Input in = Take(data, size);
  EachMeter(in);
  ReadTheMeter(in);
  Command(in);
  return 0;
}
