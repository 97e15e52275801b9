#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/byte_line.h"
#include "platform/pseudo_terminal.h"
#include "sim/ups_model.h"

namespace kbx {

// Faults of the line between the unit and the program, the way a cable, an
// adapter or a unit in trouble produces them. Each is tied to the requests a
// RequestSelector picks; requests count from the simulator's creation, across
// re-plugging. Answers leave in the order of their requests: an answer held
// back holds back everything behind it, and so does noise.
struct LineFaults {
  // The unit carries a picked request out, but the device vanishes before it
  // answers: the pseudo-terminal closes and its path (and the link, if any)
  // disappears. It comes back replugAfterMs later as a new pseudo-terminal;
  // the kernel usually gives that one another /dev/pts path, so whoever must
  // find it again uses the link (PtySimulator::LinkAt). Negative: it stays
  // away until PtySimulator::Replug().
  RequestSelector unplug;
  int replugAfterMs = 2000;

  // After the answer to a picked request (or right after the request, when it
  // gets none) the line does not fall quiet for noiseMs: one byte of noise
  // every noiseGapMs.
  RequestSelector noise;
  int noiseMs = 0;
  int noiseGapMs = 10;

  // Answers to picked requests trickle in one byte at a time, each byte after
  // a pause drawn from trickleMinMs..trickleMaxMs (repeatable: the pauses
  // come from a generator seeded with seed).
  RequestSelector trickle;
  int trickleMinMs = 100;
  int trickleMaxMs = 700;
  unsigned seed = 1;

  // Answers to picked requests are held back delayMs longer.
  RequestSelector delay;
  int delayMs = 0;

  // garbageBytes bytes of line garbage (never a start byte) go out in front of
  // the answers to picked requests.
  RequestSelector garbage;
  int garbageBytes = 3;
};

// A simulated UPS behind a pseudo-terminal: the program under test opens
// SlavePath() (or the link, see LinkAt) as its serial port. A background
// thread waits in poll() for requests, feeds them to a UpsModel and writes the
// answers back after a short delay, with the line faults applied. Optionally
// every request frame is logged as one line of hex bytes after a time stamp:
// "HH:MM:SS.mmm AB 01 A0 B4 | 19200,N,8,1", the line settings in force on the
// pseudo-terminal when the frame came.
class PtySimulator {
 public:
  // Opens the pseudo-terminal at once (SlavePath() is valid from here on) and
  // the log file, if one is named (truncated). Throws when either fails, or
  // std::invalid_argument for unusable options.
  explicit PtySimulator(SimOptions options, const std::string& logPath = {}, int answerDelayMs = 5,
                        const LineFaults& faults = {});
  // The same unit served on `line` instead of a pseudo-terminal of its own
  // (kbx-ups-sim --listen): SlavePath() is "", and a device that vanishes
  // (the unplug fault, Unplug, Replug) is not to be had; the unplug fault
  // throws std::invalid_argument.
  PtySimulator(SimOptions options, std::unique_ptr<ByteLine> line, const std::string& logPath,
               int answerDelayMs = 5, const LineFaults& faults = {});
  ~PtySimulator();
  PtySimulator(const PtySimulator&) = delete;
  PtySimulator& operator=(const PtySimulator&) = delete;

  void Start();
  void Stop();  // joins the thread; Start() may be called again
  bool Running() const { return thread_.joinable(); }
  // The device path now; it changes when the device comes back after an unplug.
  std::string SlavePath() const;

  // Puts a symbolic link at `path` to the device, and keeps it there across
  // re-plugging (a stable name, as udev gives a USB adapter). It goes with the
  // device while that is unplugged, and is removed with the simulator. Only a
  // symbolic link already at `path` is replaced: anything else there (a file,
  // a folder) stays as it is and makes this throw std::invalid_argument, as
  // does a symbolic link already there unless `replace` allows to replace
  // it. The link is removed only while it still points at our device, so
  // whatever has taken its place meanwhile stays too. Throws
  // std::system_error when the link cannot be made.
  void LinkAt(const std::string& path, bool replace = false);
  std::string LinkPath() const;

  // Replaces the line faults from the next request on (thread-safe).
  void SetLineFaults(const LineFaults& faults);

  // Stops serving and closes the pseudo-terminal: the slave path disappears,
  // as when the device is unplugged. Start() fails until Replug().
  void Unplug();
  // The device comes back as a new pseudo-terminal (a new slave path; the link
  // follows it) and is served again. The unit keeps its state.
  void Replug();
  bool Plugged() const;
  // How often the device has vanished through the unplug fault.
  int FaultUnplugs() const;

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

  // The reason the serving thread ended on its own, or the log could not be
  // written ("" while all is well).
  std::string Error() const;
  // Called (on the serving thread) when that happens.
  void OnFailure(std::function<void()> notify);

 private:
  using Steady = std::chrono::steady_clock;
  // Bytes for the line: all at once when due, or one at a time, `spacing`
  // apart, from `due` on.
  struct Outgoing {
    Steady::time_point due;
    Bytes bytes;
    std::chrono::milliseconds spacing{0};
    std::size_t next = 0;
  };

  void Serve();
  void Log(const Bytes& frame);
  // Queues the answer to one request with the faults that pick it; returns
  // false when the device vanishes on it instead.
  bool Schedule(const UpsModel::Exchange& exchange, const LineFaults& faults, Steady::time_point now);
  void WriteDue();
  int MillisecondsToNextWrite() const;
  // True when a symbolic link is at `path`, false when nothing is; throws
  // std::invalid_argument when anything else is.
  static bool CheckLinkPlace(const std::string& path);
  // With mutex_ held.
  void ClosePty();
  void OpenPty();
  void PlaceLink();
  // Removes the link we placed if it still points at our device.
  void RemoveLink();

  std::unique_ptr<ByteLine> pty_;  // swapped only while no thread serves, or by the serving thread
  mutable std::mutex mutex_;       // guards model_, log_, error_, faults_, paths and counters
  UpsModel model_;
  std::ofstream log_;
  std::string error_;
  std::function<void()> onFailure_;
  std::string slavePath_;
  std::string linkPath_;
  std::string linkTarget_;  // what the link we placed points at; "" while none is placed
  bool plugged_ = true;
  int faultUnplugs_ = 0;
  LineFaults faults_;
  bool faultsChanged_ = false;
  int answerDelayMs_;

  // Serving thread only.
  std::deque<Outgoing> outbox_;
  Steady::time_point lineFreeAt_{};
  std::optional<Steady::time_point> replugAt_;
  std::minstd_rand pauses_;

  std::atomic<bool> stop_{false};
  std::mutex wakeMutex_;
  std::condition_variable wake_;
  std::thread thread_;
};

}  // namespace kbx
