#pragma once

// What a port's calls throw, for the tests of the ports themselves.
#include <gtest/gtest.h>

#include <functional>

#include "platform/run_time_error.h"
#include "platform/serial_port.h"

namespace kbx::test {

// The error number a call throws; 0 if it throws nothing.
inline int ThrownNumber(const std::function<void()>& call) try {
  call();
  return 0;
} catch (const RunTimeError& e) {
  return e.number();
}

// Why an open failed, as its error says (number 0 when it opened); the port
// stays closed, and the reason carries the number thrown (a refused value of
// the request, 380, has no reason in words).
inline PortFailure WhyOpenFails(SerialPort& port, const PortRequest& request) try {
  port.Open(request);
  return {};
} catch (const RunTimeError& e) {
  EXPECT_FALSE(port.IsOpen());
  if (e.number() != kErrInvalidProperty) {
    EXPECT_EQ(e.why().number, e.number());
  }
  PortFailure why = e.why();
  why.number = e.number();
  return why;
}

}  // namespace kbx::test
