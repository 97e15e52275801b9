#include "cli/output_guard.h"

#include "platform/descriptor_output.h"

namespace kbx {

std::string WriteFailure(std::ostream& stream) {
  if (stream.good()) stream.flush();
  if (stream.good()) return "";
  const auto* descriptor = dynamic_cast<const DescriptorOutput*>(stream.rdbuf());
  if (descriptor && descriptor->Failed()) return descriptor->ErrorText();
  return "write error";
}

}  // namespace kbx
