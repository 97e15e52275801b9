// The battery time remaining: reading the meter and showing it.
#include "ups/runtime.h"

#include <cmath>
#include <cstring>

#include "link/board_lines.h"
#include "link/error_trap.h"
#include "link/numbers.h"

namespace kbx {

Reply Xcp::RequestMeterBlock() {
  return link_.XcpTransact({kMeterBlockRequest}, kMeterBlock);
}

double Xcp::DecodeMeterValue(const Bytes& block, std::size_t k) const {
  if (k >= meterFormats_.size()) throw RunTimeError(kErrSubscript);
  const int format = meterFormats_[k];
  const long at = 4 * static_cast<long>(k);
  const std::uint8_t bytes[4] = {At(block, at), At(block, at + 1), At(block, at + 2), At(block, at + 3)};
  const std::uint32_t whole =
      bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
  if (format >= kFirstFixedPointFormat)
    return std::ldexp(static_cast<double>(whole), -(format - kFirstFixedPointFormat));
  if (format <= kLastSingleFormat) {
    float single;
    std::memcpy(&single, bytes, sizeof single);
    return single;
  }
  if (format == kIntegerFormat) return static_cast<double>(whole);
  return 0;  // a format this program does not read
}

double Xcp::GetBatteryTimeRemaining(std::int16_t meter) {
  return RunTrapped(host_, Routine::kGetBatteryTimeRemaining, 0.0, [&] {
    if (upsType_ < 1) {
      AddToBoard(kInvalidMachineType);
      return 0.0;
    }
    // The meter's place among the reported meters; one past the end when the
    // unit does not report it, which fails below once the block is in.
    std::size_t k = 0;
    while (k < meterNumbers_.size() && meterNumbers_[k] != meter) ++k;
    const Reply meters = RequestMeterBlock();
    if (!meters) return 0.0;
    return DecodeMeterValue(meters.data, k);
  });
}

std::string TimeRemainText(double hours) {
  const double h = std::floor(hours);
  std::string text = SignedNumberText(h);
  const double m = (hours - h) * 60;
  text += m < 10 ? ":0" : ":";
  text += SignedNumberText(std::floor(m)).substr(1);
  const double s = (m - std::floor(m)) * 60;
  text += s < 10 ? ":0" : ":";
  text += SignedNumberText(std::floor(s)).substr(1);
  return text;
}

std::optional<double> RuntimeCommand(Xcp& xcp) {
  XcpHost& host = xcp.Host();
  host.BoardClear();
  host.Repaint();
  if (!xcp.LinkUp()) {
    host.AddToBoard(kLinkDown);
    return std::nullopt;
  }
  host.AddToBoard("Getting Time Remain...");
  host.Repaint();
  xcp.Wait(100);
  const double seconds = xcp.GetBatteryTimeRemaining(kBatteryTimeMeter);
  const double hours = seconds / 3600.0;
  // A value that is no finite number is no reading either.
  if (hours == 0 || !std::isfinite(hours)) {
    host.AddToBoard(kErrorGettingRuntime);
    return std::nullopt;
  }
  host.AddToBoard("Battery Time Remain: " + TimeRemainText(hours));
  host.AddToBoard("Done");
  return seconds;
}

}  // namespace kbx
