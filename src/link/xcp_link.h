#pragma once

#include <cstdint>
#include <string>

#include "link/protocol.h"
#include "link/xcp_host.h"
#include "platform/clock.h"
#include "platform/run_time_error.h"
#include "platform/serial_control.h"

namespace kbx {

// The serial link of the XCP module: the port and its settings, the frame
// exchange with its pacing, time-outs and retries, and the acknowledgements.
// The module's state is public on purpose: it is the one copy the whole
// program shares, as the windows and commands read and write it.
class XcpLink {
 public:
  XcpLink(SerialControl& port, Clock& clock, XcpHost& host);
  virtual ~XcpLink() = default;
  XcpLink(const XcpLink&) = delete;
  XcpLink& operator=(const XcpLink&) = delete;

  // --- last error -----------------------------------------------------------
  struct LastError {
    int number = 0;
    std::string description;
  };
  LastError Err;
  void RecordError(const RunTimeError& error) { Err = {error.number(), error.description()}; }
  void ClearError() { Err = {}; }
  bool ErrorPending() const { return Err.number != 0; }
  // The error check: when an error is pending, one board line "number
  // description tag" (no tag when tag is 0), and the error is cleared.
  // Returns whether a line was written.
  bool ErrorCheck(int tag);

  // --- port -----------------------------------------------------------------
  void ConfigurePort(const std::string& baud, const std::string& parity, std::int16_t dataBits,
                     std::int16_t stopBits, const std::string& port);
  void OpenPort();
  void FlushPort();
  std::string SettingsString() const;

  // --- frame exchange -------------------------------------------------------
  bool XcpTransact(int iLength, const Bytes& data, int iExpect);
  bool ReadPort();
  bool ExtractResponse();
  int GetResponse();
  bool ReceiveFrame();
  bool SendDisconnect();

  // --- acknowledgements -----------------------------------------------------
  bool CheckAck(int iBlock);

  SerialControl& MSComm1() { return port_; }
  Clock& clock() { return clock_; }
  XcpHost& host() { return host_; }

  // --- module state ---------------------------------------------------------
  std::string sBaudRate;
  std::string sParity;
  std::int16_t iDataBits = 0;
  std::int16_t iStopBits = 0;
  std::string sComPort;
  bool LinkUp = false;

  Bytes RequestBlock;
  Bytes TxFrame;
  Bytes RxBuffer = Bytes(kRxBufferSize, 0);
  Bytes RxChunk;
  Bytes ResponseBlock = Bytes(1, 0);
  std::int32_t lTxStartTime = 0;
  std::int16_t iRxTimeout = 6;
  // Where in RxBuffer the response that ExtractResponse accepted begins.
  long responseStart_ = 0;

 protected:
  // A byte of RxBuffer; an index outside 0..1023 raises 9.
  std::uint8_t Rx(long index) const;
  void Sleep(int ms) { clock_.Sleep(ms); }
  void AddToBoard(const std::string& line) { host_.AddToBoard(line); }

 private:
  // One response from `start`, all its frames; `end` is where it stops.
  bool ExtractResponseAt(long start, long& end);

  SerialControl& port_;
  Clock& clock_;
  XcpHost& host_;
};

}  // namespace kbx
