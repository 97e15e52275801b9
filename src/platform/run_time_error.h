#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace kbx {

using Bytes = std::vector<std::uint8_t>;

// Error numbers the program knows by name. They are the classic numbers of the
// serial control and of the language's run-time, so that the board lines and
// the start-up box read the way technicians know them.
enum ErrorNumber : int {
  kErrOverflow = 6,
  kErrSubscript = 9,
  kErrTypeMismatch = 13,
  kErrInvalidProperty = 380,
  kErrInvalidPortNumber = 8002,
  kErrPortAlreadyOpen = 8005,
  kErrDeviceNotOpen = 8012,
  kErrCommState = 8015,
  kErrReadDevice = 8020,
  kErrWriteDevice = 8021,
};

// The description that goes with a known error number ("" when unknown).
std::string ErrorDescription(int number);

// A run-time error: raised by a failing step, caught by the nearest operation
// that traps errors, and then kept as the last error until its error check.
class RunTimeError : public std::runtime_error {
 public:
  explicit RunTimeError(int number);
  RunTimeError(int number, std::string description);

  int number() const { return number_; }
  const std::string& description() const { return description_; }

 private:
  int number_;
  std::string description_;
};

}  // namespace kbx
