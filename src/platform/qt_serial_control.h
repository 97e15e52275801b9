#pragma once

#include <memory>
#include <string>

#include "platform/port_lock.h"
#include "platform/port_map.h"
#include "platform/serial_control.h"

class QSerialPort;

namespace kbx {

// The serial control over a QSerialPort. No event loop is needed: everything
// is polled when the program asks (InBufferCount, Input, OutBufferCount,
// Output), and no call blocks for more than a few milliseconds.
//
// Received bytes are moved into a receive buffer of InBufferSize bytes
// (1024 unless set otherwise); bytes that arrive while it is full are lost,
// as in a hardware overrun. A device that disappears while open makes the
// reading operations fail with 8020 and the writing ones with 8021.
//
// Modem lines and flow control are applied where the device has them; a
// device without them (a pseudo-terminal) opens like any other port.
//
// While open, the port is marked as ours the way serial programs mark their
// ports (a UUCP lock file and flock(), see PortLock), and a port that another
// program has marked is not opened (8005). Device paths are bytes: the device
// is opened here and Qt reaches it through /proc/PID/fd/N, so that any path
// works, and so that the lock file QSerialPort makes for itself never takes
// the name of a classic one (it would delete a live one it cannot read).
// Why an open failed, in words, is LastFailure().
//
// The program should have a QCoreApplication before a port is opened;
// without one, Qt warns about its socket notifiers (harmlessly).
class QtSerialControl : public SerialControl {
 public:
  // `ports` says which device a port number names; it must outlive this
  // object and is consulted whenever a number is set or the port is opened.
  // `lockFolder` is where the ports' lock files are ("": none are used).
  explicit QtSerialControl(const PortMap& ports, std::string lockFolder = DefaultLockFolder());
  ~QtSerialControl() override;
  QtSerialControl(const QtSerialControl&) = delete;
  QtSerialControl& operator=(const QtSerialControl&) = delete;

  void SetCommPort(int number) override;
  int CommPort() const override { return commPort_; }

  void SetSettings(const std::string& settings) override;
  std::string Settings() const override;

  bool PortOpen() const override;
  void SetPortOpen(bool open) override;

  void SetRTSEnable(bool on) override;
  void SetDTREnable(bool on) override;
  void SetHandshaking(long mode) override;
  void SetInBufferSize(int size) override;
  void SetOutBufferSize(int size) override;

  int InBufferCount() override;
  void SetInBufferCount(int count) override;
  int OutBufferCount() override;

  void SetInputMode(long mode) override;
  void SetInputLen(int len) override;
  void SetSThreshold(int threshold) override;
  void SetRThreshold(int threshold) override;

  Bytes Input() override;
  void Output(const Bytes& bytes) override;

  // Line settings: baud rate, parity letter (N, E, O, M, S), data bits (5..8)
  // and stop bits in halves (2 = 1, 3 = 1.5, 4 = 2).
  struct LineSettings {
    int baud = 9600;
    char parity = 'N';
    int dataBits = 8;
    int stopHalves = 2;
  };
  // Parses "baud,parity,databits,stopbits"; false if unsupported or malformed.
  static bool ParseSettings(const std::string& text, LineSettings& settings);
  // The normal form, e.g. "19200,N,8,1".
  static std::string FormatSettings(const LineSettings& settings);

  // Why the last SetCommPort or SetPortOpen(true) that failed did so (number
  // 0 when none has failed since the last SetCommPort).
  const PortFailure& LastFailure() const { return failure_; }

 private:
  // Records why the port cannot be used and throws its error number.
  [[noreturn]] void Fail(int number, const std::string& device, const std::string& reason);
  void Open();
  void Close();
  // Puts line settings on the open port; false if the device refuses them.
  bool ApplyLine(const LineSettings& line);
  // Whether the open port's line has these settings now.
  bool LineIs(const LineSettings& line) const;
  // Modem lines and flow control, where the device has them.
  void ApplyHandshake();
  void ApplyModemLines();
  // Reads everything the device has received into the receive buffer.
  void Receive();
  // Hands as much waiting output to the device as it takes right now.
  void Transmit();
  void Store(const char* data, long long size);

  const PortMap& ports_;
  const std::string lockFolder_;
  std::unique_ptr<QSerialPort> port_;
  std::unique_ptr<PortLock> lock_;  // while open
  PortFailure failure_;
  int commPort_ = 1;
  LineSettings line_;
  bool rts_ = false;
  bool dtr_ = false;
  long handshaking_ = 0;
  int inBufferSize_ = 1024;
  // Kept for the record only: output is never held back, Input always takes
  // all waiting bytes as binary, and nothing raises notifications.
  [[maybe_unused]] int outBufferSize_ = 512;
  [[maybe_unused]] long inputMode_ = 0;
  [[maybe_unused]] int inputLen_ = 0;
  [[maybe_unused]] int sThreshold_ = 0;
  [[maybe_unused]] int rThreshold_ = 0;
  Bytes received_;
};

}  // namespace kbx
