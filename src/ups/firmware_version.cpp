#include "ups/firmware_version.h"

#include "link/numbers.h"

namespace kbx {

std::string FirmwareVersion::Text() const {
  return HexText(major_) + "." + FixLength(HexText(minor_), 2);
}

}  // namespace kbx
