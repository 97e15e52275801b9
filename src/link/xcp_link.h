#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "link/protocol.h"
#include "link/xcp_host.h"
#include "platform/clock.h"
#include "platform/run_time_error.h"
#include "platform/serial_port.h"

namespace kbx {

namespace test {
class XcpProbe;
}

// The settings the program keeps for its port. Given to ConfigurePort, a 0
// (or no parity letter) keeps the one stored.
struct PortSettings {
  int baudRate = 0;  // 19200; a rate the port does not take is refused when it opens
  char parity = 0;   // 'N'
  std::int16_t dataBits = 0;
  std::int16_t stopBits = 0;
  int comPort = 0;  // 1 for COM1

  // The port's Settings: 19200,N,8,1.
  kbx::LineSettings Line() const;
};

// The error behind one of the board lines of a failed OpenPort that its
// caller may want to know of (8012, 8005, 8002, 8015 and 380).
struct PortError {
  int number = 0;
  std::string description;
  PortFailure why;  // what the port said of it, in words; no reason when it said nothing
};
using PortOutcome = std::optional<PortError>;

// The answer to one request: whether it went out on the port, whether it was
// accepted, and its data bytes, all frames joined.
struct Reply {
  bool sent = false;
  bool accepted = false;
  Bytes data;

  explicit operator bool() const { return accepted; }
};

// The serial link of the XCP module: the port and its settings, the frame
// exchange with its pacing, time-outs and retries, and the acknowledgements.
class XcpLink {
 public:
  XcpLink(SerialPort& port, Clock& clock, XcpHost& host);
  XcpLink(const XcpLink&) = delete;
  XcpLink& operator=(const XcpLink&) = delete;

  // Buffers emptied, the link down, the receive window at its 6 s.
  void InitState();

  // --- port -------------------------------------------------------------------
  // Stores every setting given (an empty text or 0 keeps the stored one) and
  // opens the port with them.
  PortOutcome ConfigurePort(const PortSettings& settings);
  // What the port settings dialog applies: the link is marked down, the baud
  // rate and COM port are stored as given and the port is opened again. The
  // COM number is the number the technician typed: the port takes its
  // Integer, so "1.5" is COM2 and a number beyond an Integer overflows (6).
  PortOutcome ChangePort(int baudRate, double comNumber);
  // Applies the stored settings and opens the port; tells the window. A
  // failure goes on the board as one line; the five numbers the caller may
  // care for come back, every other one is reported and done with.
  PortOutcome OpenPort();
  // Waits for the written bytes to go out and discards what was received.
  void FlushPort();
  // Closes the port, as the program does when it ends; a failure is ignored.
  void ClosePort();
  // Reads the settings label back from the port and tells the window.
  void RefreshSettingsLabel();
  const PortSettings& StoredSettings() const { return settings_; }

  // Whether a UPS connection is established.
  bool LinkUp() const { return linkUp_; }
  void SetLinkUp(bool up) { linkUp_ = up; }

  // --- frame exchange -----------------------------------------------------------
  // Sends one request (at most 255 bytes). With an expected reply code above
  // 0 it waits for an answer with that code, asking again within fixed
  // limits; with 0 or less it is accepted once written and 500 ms have passed.
  Reply XcpTransact(const Bytes& request, int expectedReply);
  // Collects what arrives until the line falls quiet: true when it begins
  // with a frame's start byte.
  bool ReceiveFrame();
  bool SendDisconnect();

  // --- acknowledgements -----------------------------------------------------------
  // Reads an answer and judges its first two raw bytes: true for an accepted
  // acknowledgement, or for a block numbered `expectedBlock` (never 9); a
  // refusal gets its board line.
  bool CheckAck(int expectedBlock);

 private:
  friend class test::XcpProbe;

  // The answer as the exchange judges it: the reply code (its first block
  // number, or an acknowledgement's status; 0 when nothing usable came) and
  // its data bytes, all frames joined.
  struct Response {
    int code = 0;
    Bytes data = Bytes(1, 0);
  };

  // Collects what arrives until the line falls quiet: the bytes read, at
  // most a receive buffer's 1024; nothing when an error was trapped.
  std::optional<Bytes> ReadPort();
  // Whether the 15 s from the whole second of the request's first write
  // have passed, also when the time of day went past midnight meanwhile.
  bool ExchangeBudgetSpent() const;
  // Reads an answer and decodes it (error 9 when it runs off the receive
  // buffer, reported with tag 35).
  Response GetResponse();
  // OpenPort, with the failure of a COM number that was no Integer in the
  // step that sets the port's number.
  PortOutcome OpenPort(const std::optional<RunTimeError>& comPortFailure);
  // Takes the number and settings the port reports into the window's state.
  void ReadPortInForce();
  void Sleep(int ms) { clock_.Sleep(ms); }

  SerialPort& port_;
  Clock& clock_;
  XcpHost& host_;

  PortSettings settings_;
  bool linkUp_ = false;
  PortState portState_;  // as the window was told last

  Bytes txFrame_;                      // the frame last written, written again on a retry
  std::int32_t txStartTime_ = 0;       // time of day of the first write, whole seconds
  std::int16_t rxTimeoutSeconds_ = 6;  // the base receive window
};

}  // namespace kbx
