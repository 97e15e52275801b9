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

// Why a port could not be used, in words for the technician: what a front end
// shows below the board line. Device paths are bytes as the system gives them
// (not necessarily UTF-8).
struct PortFailure {
  int number = 0;             // the error number thrown (8002, 8005, 8012, 8015); 0: none
  std::string device;         // the device path tried; "" when the number names none
  std::string reason;         // what is wrong, e.g. "/dev/ttyS0 is in use by process 812 (minicom)"
  std::string fix;            // what the technician can do about it; may be empty
  int holderPid = 0;          // the process that holds the port, when known
  std::string holderProgram;  // its name as the system knows it (/proc/PID/comm), when known
};

// A run-time error: raised by a failing step and caught by the nearest
// operation that traps errors. An error of a port that cannot be used also
// says why, in words (`why()`, empty for every other error).
class RunTimeError : public std::runtime_error {
 public:
  explicit RunTimeError(int number);
  RunTimeError(int number, std::string description);

  int number() const { return number_; }
  const std::string& description() const { return description_; }
  const PortFailure& why() const { return why_; }

 protected:
  RunTimeError(int number, PortFailure why);

 private:
  int number_;
  std::string description_;
  PortFailure why_;
};

// A port that cannot be opened: the error of its number, with the reason and
// the fix. It is a RunTimeError whatever catches it; a copy keeps the why.
class PortOpenError : public RunTimeError {
 public:
  explicit PortOpenError(PortFailure why) : RunTimeError(why.number, std::move(why)) {}
  // An error whose number is not the one the reason was given for: the reason
  // of an earlier refusal still tells the technician what to do.
  PortOpenError(int number, PortFailure why) : RunTimeError(number, std::move(why)) {}
};

}  // namespace kbx
