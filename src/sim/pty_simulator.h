#pragma once

#include <atomic>
#include <cstdint>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/pseudo_terminal.h"
#include "sim/ups_model.h"

namespace kbx {

// A simulated UPS behind a pseudo-terminal: the program under test opens
// SlavePath() as its serial port. A background thread waits in poll() for
// requests, feeds them to a UpsModel and writes the answers back after a short
// delay. Optionally every request frame is logged as one line of hex bytes
// after a time stamp: "HH:MM:SS.mmm AB 01 A0 B4".
class PtySimulator {
 public:
  // Opens the pseudo-terminal at once (SlavePath() is valid from here on) and
  // the log file, if one is named (truncated). Throws when either fails, or
  // std::invalid_argument for unusable options.
  explicit PtySimulator(SimOptions options, const std::string& log_path = {}, int answer_delay_ms = 5);
  ~PtySimulator();
  PtySimulator(const PtySimulator&) = delete;
  PtySimulator& operator=(const PtySimulator&) = delete;

  void Start();
  void Stop();  // joins the thread; Start() may be called again
  bool Running() const { return thread_.joinable(); }
  std::string SlavePath() const { return pty_.SlavePath(); }

  // Stops serving and closes the pseudo-terminal: the slave path disappears,
  // as when the device is unplugged. The simulator cannot be started again.
  void Unplug();

  // Thread-safe views of the model.
  UpsModel Snapshot() const;  // a copy without the log observer
  void Update(const std::function<void(UpsModel&)>& change);
  int ReportedType() const;
  bool Locked() const;
  int CommittedModuleCount() const;
  double BatteryTime() const;
  std::optional<std::uint16_t> Variable(int number) const;
  std::optional<std::uint16_t> RamWord(int address) const;
  std::optional<std::uint16_t> Parameter(int number) const;
  int RequestCount(std::uint8_t command) const;
  std::vector<Bytes> Requests() const;

  // The reason the serving thread ended on its own ("" while all is well).
  std::string Error() const;

 private:
  void Serve();
  void Log(const Bytes& frame);

  PseudoTerminal pty_;
  mutable std::mutex mutex_;  // guards model_, log_ and error_
  UpsModel model_;
  std::ofstream log_;
  std::string error_;
  int answer_delay_ms_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace kbx
