#include "platform/run_time_error.h"

namespace kbx {

std::string ErrorDescription(int number) {
  switch (number) {
    case kErrOverflow:
      return "Overflow";
    case kErrSubscript:
      return "Subscript out of range";
    case kErrTypeMismatch:
      return "Type mismatch";
    case kErrInvalidProperty:
      return "Invalid property value";
    case kErrInvalidPortNumber:
      return "Invalid port number";
    case kErrPortAlreadyOpen:
      return "Port already open";
    case kErrDeviceNotOpen:
      return "The device is not open";
    case kErrCommState:
      return "Could not set comm state, there may be one or more invalid parameters";
    case kErrReadDevice:
      return "Error reading comm device";
    case kErrWriteDevice:
      return "Error writing comm device";
    default:
      return "";
  }
}

RunTimeError::RunTimeError(int number) : RunTimeError(number, ErrorDescription(number)) {}

RunTimeError::RunTimeError(int number, std::string description)
    : std::runtime_error(std::to_string(number) + " " + description),
      number_(number),
      description_(std::move(description)) {}

RunTimeError::RunTimeError(int number, PortFailure why) : RunTimeError(number) {
  why_ = std::move(why);
}

}  // namespace kbx
