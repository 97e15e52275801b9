#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "link/xcp_link.h"
#include "ups/xcp.h"

namespace kbx::test {

// The one way the tests, fuzzers and the benchmark look inside the link and
// the UPS module, or set up state that only a UPS conversation would give.
class XcpProbe {
 public:
  // --- the link -----------------------------------------------------------------
  static XcpLink& Link(Xcp& xcp) { return xcp.link_; }
  // The bytes a read collects; nothing when it failed.
  static std::optional<Bytes> ReadPort(XcpLink& link) { return link.ReadPort(); }
  // A fresh answer read and judged: its reply code and data.
  static XcpLink::Response GetResponse(XcpLink& link) { return link.GetResponse(); }

  // --- the UPS module -------------------------------------------------------------
  static void SetUpsType(Xcp& xcp, std::int16_t type) { xcp.upsType_ = type; }
  static void SetMeters(Xcp& xcp, const std::vector<std::int16_t>& numbers,
                        const std::vector<std::int16_t>& formats) {
    xcp.meterNumbers_ = numbers;
    xcp.meterFormats_ = formats;
  }
  static void TakeIdentification(Xcp& xcp, const Bytes& block) {
    xcp.TakeIdentification(ParseIdentificationBlock(block));
  }
  static double DecodeMeterValue(const Xcp& xcp, const Bytes& block, std::size_t k) {
    return xcp.DecodeMeterValue(block, k);
  }
};

}  // namespace kbx::test
