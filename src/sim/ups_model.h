#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "link/frame.h"
#include "link/protocol.h"
#include "platform/run_time_error.h"
#include "ups/firmware_version.h"

namespace kbx {

// A choice of requests by their command byte: every request with that byte,
// or only the n-th of them (counted from 1 since the unit was created).
// kAnyCommand stands for every command; its n-th is the n-th request at all.
struct RequestSelector {
  static constexpr int kNoCommand = -1;
  static constexpr int kAnyCommand = 256;
  int command = kNoCommand;  // 0..255, kAnyCommand, or kNoCommand (selects nothing)
  int occurrence = 0;        // 0: every one; n: only the n-th

  bool Active() const { return command != kNoCommand; }
  // nthOfCommand counts the requests with this command byte, nth all of them.
  bool Selects(std::uint8_t requestCommand, int nthOfCommand, int nth) const;
};

struct SimOptions {
  int type = 290;                                                     // the UPS type code, 0 to 65535
  std::vector<FirmwareVersion> versions{{0x01, 0x03}, {0x01, 0x03}};  // "1.03" each
  std::uint8_t meter36Format = 0xF0;  // 0 leaves meter 36 out of the meter map
  int batteryTime = 1800;             // seconds, with no module attached
  int moduleCount = 0;                // committed count at power-up, 0 to 2
  AccessCode accessCode = kDefaultAccessCode;
  int typeBlockLength = 16;  // as announced in the identification block

  // Faults.
  bool silent = false;        // never answers anything
  int busy = 0;               // the first N answered requests get status 0x33 and are not carried out
  int badChecksum = 0;        // corrupt the checksums of the first N answers; kEveryAnswer: of all
  int split = kMaxFrameData;  // at most this many data bytes per answer frame
  // Command byte -> status answered instead of carrying the command out.
  std::map<std::uint8_t, std::uint8_t> refuse;
  // The answers to these requests carry their data padded with zero bytes to
  // longAnswerLength bytes: more than a 1024-byte receive buffer holds.
  RequestSelector longAnswer;
  int longAnswerLength = 1100;

  static constexpr int kEveryAnswer = -1;
};

// The four bytes, least significant first, with which a meter of the given
// format code reports a value: 0x01..0x97 single precision, 0xF0..0xFF fixed
// point (value * 2^(code - 0xF0)), anything else a 32-bit integer.
Bytes EncodeMeterValue(double value, std::uint8_t format);

// A simulated UPS: request frames in, answer frames out. Pure logic, no I/O
// and no clock; the caller carries the bytes.
class UpsModel {
 public:
  explicit UpsModel(SimOptions options = {});

  // Takes bytes from the line. For every complete request frame (AB, LEN,
  // data, checksum) it returns the answer frames, all concatenated; requests
  // without an answer add nothing. Bytes before a start byte and frames with a
  // wrong checksum are skipped; the search goes on at the next 0xAB.
  Bytes Receive(const Bytes& incoming);

  // The line has been quiet: an incomplete frame is garbage. Skips it, looks
  // for frames behind its start byte and returns their answers.
  Bytes LineIdle();

  // The same, one entry per request frame taken from the line.
  struct Exchange {
    Bytes request;         // its data bytes
    int nthOfCommand = 0;  // which request with this command byte it is (from 1)
    int nth = 0;           // which request at all it is (from 1)
    Bytes answer;          // the answer frames (empty: none)
  };
  std::vector<Exchange> ReceiveExchanges(const Bytes& incoming);
  std::vector<Exchange> LineIdleExchanges();

  bool HasPartialFrame() const { return !pending_.empty(); }

  // Called with every complete, valid request frame, before it is answered.
  void SetRequestObserver(std::function<void(const Bytes& frame)> observer) {
    observer_ = std::move(observer);
  }

  // The answer frames to the data bytes of one request (empty: no answer).
  Bytes Answer(const Bytes& request);

  // The blocks as they are sent now (data bytes only).
  Bytes IdentificationBlock() const;
  Bytes TypeBlock() const;
  Bytes MeterBlock() const;
  // The meter map and the meter numbers it reports, in map order.
  Bytes MeterMap() const;
  std::vector<int> ReportedMeters() const;

  // State.
  const SimOptions& Options() const { return options_; }
  int ReportedType() const { return switched_ ? 280 : options_.type; }
  bool Locked() const { return locked_; }
  int CommittedModuleCount() const { return moduleCount_; }
  double BatteryTime() const;  // seconds, as meter 36 reports it
  std::optional<std::uint16_t> Variable(int number) const;
  std::optional<std::uint16_t> RamWord(int address) const;
  std::optional<std::uint16_t> Parameter(int number) const;
  int RequestCount(std::uint8_t command) const;
  int BadFrameCount() const { return badFrames_; }
  // The data bytes of every valid request frame received, in order.
  const std::vector<Bytes>& Requests() const { return requests_; }

 private:
  struct Reply {
    std::uint8_t block;
    Bytes data;
  };
  std::optional<Reply> Handle(const Bytes& request);
  Reply Ack(std::uint8_t status) const { return {kAckBlock, Bytes{status}}; }
  Reply Authorize(const Bytes& request);
  Reply SetVariable(const Bytes& request);
  Reply SetRamWord(const Bytes& request);
  Reply SetParameter(const Bytes& request);
  Bytes Frames(const Reply& reply);
  std::vector<Exchange> Process();
  static Bytes Answers(const std::vector<Exchange>& exchanges);
  bool UsesVariables() const { return ReportedType() == 290; }

  SimOptions options_;
  Bytes pending_;
  std::function<void(const Bytes&)> observer_;

  bool locked_ = true;
  bool switched_ = false;
  int moduleCount_ = 0;
  int busyLeft_ = 0;
  int badChecksumLeft_ = 0;
  std::map<int, std::uint16_t> variables_;
  std::map<int, std::uint16_t> ram_;
  std::map<int, std::uint16_t> parameters_;
  std::array<int, 256> requestCounts_{};
  int badFrames_ = 0;
  std::vector<Bytes> requests_;
};

}  // namespace kbx
