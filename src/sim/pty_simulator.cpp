#include "sim/pty_simulator.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/clock.h"
#include "platform/file_kind.h"

namespace kbx {

namespace {

// The longest the serving thread sleeps in poll() before it looks at the
// stop flag again.
constexpr int kPollMs = 20;
// A frame that stays incomplete this long is garbage.
constexpr auto kLineIdle = std::chrono::milliseconds(200);

// Line noise and garbage: anything but the start byte.
constexpr std::uint8_t kNoise[] = {0x55, 0xAA, 0x00, 0xFF, 0x5A, 0xA5, 0x0F, 0xF0, 0x33, 0xCC};

Bytes NoiseBytes(std::size_t count) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = kNoise[i % std::size(kNoise)];
  return bytes;
}

void CheckFaults(const LineFaults& faults) {
  if (faults.noiseMs < 0) throw std::invalid_argument("negative noise time");
  if (faults.noise.Active() && faults.noiseGapMs < 1) throw std::invalid_argument("noise gap below 1 ms");
  if (faults.trickleMinMs < 0 || faults.trickleMaxMs < faults.trickleMinMs)
    throw std::invalid_argument("trickle pauses must satisfy 0 <= min <= max");
  if (faults.delayMs < 0) throw std::invalid_argument("negative answer delay");
  if (faults.garbageBytes < 0) throw std::invalid_argument("negative garbage length");
}

bool Picks(const RequestSelector& selector, const UpsModel::Exchange& exchange) {
  return !exchange.request.empty() &&
         selector.Selects(exchange.request[0], exchange.nthOfCommand, exchange.nth);
}

}  // namespace

PtySimulator::PtySimulator(SimOptions options, const std::string& logPath, int answerDelayMs,
                           const LineFaults& faults)
    : PtySimulator(std::move(options), std::make_unique<PseudoTerminal>(), logPath, answerDelayMs, faults) {
  slavePath_ = static_cast<PseudoTerminal&>(*pty_).SlavePath();
}

PtySimulator::PtySimulator(SimOptions options, std::unique_ptr<ByteLine> line, const std::string& logPath,
                           int answerDelayMs, const LineFaults& faults)
    : pty_(std::move(line)),
      model_(std::move(options)),
      faults_(faults),
      answerDelayMs_(answerDelayMs),
      pauses_(faults.seed) {
  CheckFaults(faults);
  if (dynamic_cast<PseudoTerminal*>(pty_.get()) == nullptr && faults.unplug.Active())
    throw std::invalid_argument("a line on the network cannot be unplugged");
  if (!logPath.empty()) {
    log_.open(logPath, std::ios::out | std::ios::trunc);
    if (!log_) throw std::runtime_error("cannot open log file " + logPath);
    model_.SetRequestObserver([this](const Bytes& frame) { Log(frame); });
  }
}

PtySimulator::~PtySimulator() {
  Stop();
  std::lock_guard lock(mutex_);
  RemoveLink();
}

void PtySimulator::Start() {
  if (thread_.joinable()) return;
  if (!pty_->IsOpen()) throw std::logic_error("simulator was unplugged");
  stop_ = false;
  thread_ = std::thread([this] { Serve(); });
}

void PtySimulator::Stop() {
  {
    std::lock_guard lock(wakeMutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::string PtySimulator::SlavePath() const {
  std::lock_guard lock(mutex_);
  return slavePath_;
}

void PtySimulator::LinkAt(const std::string& path, bool replace) {
  std::lock_guard lock(mutex_);
  if (CheckLinkPlace(path)) {
    // Not ours: somebody else's name for something, left alone unless told.
    if (!replace) {
      throw std::invalid_argument(path +
                                  " is a symbolic link the simulator did not make: it is left as it is "
                                  "(--force replaces it)");
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
      throw std::system_error(errno, std::generic_category(), "cannot replace the link " + path);
  }
  RemoveLink();
  linkPath_ = path;
  if (!plugged_) return;
  try {
    PlaceLink();
  } catch (...) {
    linkPath_.clear();
    throw;
  }
}

std::string PtySimulator::LinkPath() const {
  std::lock_guard lock(mutex_);
  return linkPath_;
}

void PtySimulator::SetLineFaults(const LineFaults& faults) {
  CheckFaults(faults);
  std::lock_guard lock(mutex_);
  faults_ = faults;
  faultsChanged_ = true;
}

void PtySimulator::Unplug() {
  Stop();
  std::lock_guard lock(mutex_);
  ClosePty();
}

void PtySimulator::Replug() {
  Stop();
  {
    std::lock_guard lock(mutex_);
    ClosePty();
    OpenPty();
  }
  outbox_.clear();
  replugAt_.reset();
  Start();
}

bool PtySimulator::Plugged() const {
  std::lock_guard lock(mutex_);
  return plugged_;
}

int PtySimulator::FaultUnplugs() const {
  std::lock_guard lock(mutex_);
  return faultUnplugs_;
}

void PtySimulator::ClosePty() {
  pty_->Close();
  plugged_ = false;
  RemoveLink();
}

void PtySimulator::OpenPty() {
  auto pty = std::make_unique<PseudoTerminal>();
  slavePath_ = pty->SlavePath();
  pty_ = std::move(pty);
  plugged_ = true;
  PlaceLink();
}

bool PtySimulator::CheckLinkPlace(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return false;
  if (S_ISLNK(st.st_mode)) return true;
  throw std::invalid_argument(path + " is " + FileKind(st.st_mode) +
                              ", not a symbolic link: it is left as it is");
}

void PtySimulator::PlaceLink() {
  if (linkPath_.empty()) return;
  // Ours went with the device; whatever took the place meanwhile stays.
  if (CheckLinkPlace(linkPath_))
    throw std::invalid_argument(linkPath_ +
                                " is a symbolic link the simulator did not make: it is left as it is");
  if (::symlink(slavePath_.c_str(), linkPath_.c_str()) != 0)
    throw std::system_error(errno, std::generic_category(), "symlink " + linkPath_);
  linkTarget_ = slavePath_;
}

void PtySimulator::RemoveLink() {
  if (linkTarget_.empty()) return;
  std::string target(PATH_MAX, '\0');
  const ssize_t size = ::readlink(linkPath_.c_str(), target.data(), target.size());
  if (size >= 0 && target.substr(0, static_cast<std::size_t>(size)) == linkTarget_)
    ::unlink(linkPath_.c_str());
  linkTarget_.clear();
}

bool PtySimulator::Schedule(const UpsModel::Exchange& exchange, const LineFaults& faults,
                            Steady::time_point now) {
  using std::chrono::milliseconds;
  if (Picks(faults.unplug, exchange)) return false;

  Bytes answer = exchange.answer;
  if (!answer.empty() && Picks(faults.garbage, exchange)) {
    const Bytes garbage = NoiseBytes(static_cast<std::size_t>(faults.garbageBytes));
    answer.insert(answer.begin(), garbage.begin(), garbage.end());
  }
  lineFreeAt_ = std::max(lineFreeAt_, now);
  if (!answer.empty()) {
    auto due = now + milliseconds(answerDelayMs_);
    if (Picks(faults.delay, exchange)) due += milliseconds(faults.delayMs);
    due = std::max(due, lineFreeAt_);
    if (Picks(faults.trickle, exchange)) {
      std::uniform_int_distribution<int> pause(faults.trickleMinMs, faults.trickleMaxMs);
      for (const std::uint8_t byte : answer) {
        due += milliseconds(pause(pauses_));
        outbox_.push_back({due, Bytes{byte}});
      }
    } else {
      outbox_.push_back({due, std::move(answer)});
    }
    lineFreeAt_ = due;
  }
  if (faults.noiseMs > 0 && Picks(faults.noise, exchange)) {
    const auto count = static_cast<std::size_t>(faults.noiseMs / faults.noiseGapMs);
    if (count > 0) {
      const milliseconds gap(faults.noiseGapMs);
      outbox_.push_back({lineFreeAt_ + gap, NoiseBytes(count), gap});
      lineFreeAt_ += gap * static_cast<long>(count);
    }
  }
  return true;
}

void PtySimulator::WriteDue() {
  const auto now = Steady::now();
  while (!outbox_.empty() && outbox_.front().due <= now) {
    Outgoing& front = outbox_.front();
    if (front.spacing.count() == 0) {
      pty_->Write(front.bytes);
      outbox_.pop_front();
      continue;
    }
    pty_->Write(Bytes{front.bytes[front.next]});
    if (++front.next == front.bytes.size()) {
      outbox_.pop_front();
    } else {
      front.due += front.spacing;
    }
  }
}

int PtySimulator::MillisecondsToNextWrite() const {
  if (outbox_.empty()) return kPollMs;
  const auto left = outbox_.front().due - Steady::now();
  // Rounded up, so that the write is due when poll() returns.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::clamp<long long>(ms, 0, kPollMs));
}

void PtySimulator::Serve() {
  auto lastInput = Steady::now();
  try {
    while (!stop_) {
      if (!pty_->IsOpen()) {
        // Unplugged: wait, without serving, until the device comes back or
        // the simulator stops.
        std::unique_lock wait(wakeMutex_);
        const auto stopping = [this] { return stop_.load(); };
        if (!replugAt_) {
          wake_.wait(wait, stopping);
          break;
        }
        if (wake_.wait_until(wait, *replugAt_, stopping)) break;
        wait.unlock();
        replugAt_.reset();
        std::lock_guard lock(mutex_);
        OpenPty();
        lastInput = Steady::now();
        continue;
      }

      WriteDue();
      const Bytes in = pty_->Read(MillisecondsToNextWrite());
      std::vector<UpsModel::Exchange> exchanges;
      LineFaults faults;
      {
        std::lock_guard lock(mutex_);
        if (!in.empty()) {
          lastInput = Steady::now();
          exchanges = model_.ReceiveExchanges(in);
        } else if (model_.HasPartialFrame() && Steady::now() - lastInput >= kLineIdle) {
          exchanges = model_.LineIdleExchanges();
        }
        faults = faults_;
        if (faultsChanged_) {
          pauses_.seed(faults_.seed);
          faultsChanged_ = false;
        }
      }
      const auto now = Steady::now();
      for (const UpsModel::Exchange& exchange : exchanges) {
        if (Schedule(exchange, faults, now)) continue;
        // The device vanishes: what was still to be sent goes with it.
        outbox_.clear();
        lineFreeAt_ = now;
        std::lock_guard lock(mutex_);
        ClosePty();
        ++faultUnplugs_;
        if (faults.replugAfterMs >= 0) replugAt_ = now + std::chrono::milliseconds(faults.replugAfterMs);
        break;
      }
    }
  } catch (const std::exception& error) {
    std::function<void()> notify;
    {
      std::lock_guard lock(mutex_);
      error_ = error.what();
      notify = onFailure_;
    }
    if (notify) notify();
  }
}

void PtySimulator::OnFailure(std::function<void()> notify) {
  std::lock_guard lock(mutex_);
  onFailure_ = std::move(notify);
}

// Called by the model with mutex_ held.
void PtySimulator::Log(const Bytes& frame) {
  std::string line = ClockText(SystemClock().TimeOfDay());
  char hex[4];
  for (const std::uint8_t byte : frame) {
    std::snprintf(hex, sizeof hex, " %02X", byte);
    line += hex;
  }
  // How the line was set when the frame came: what a serial server in
  // between made of the program's settings.
  const std::string settings = pty_ ? pty_->LineInForce() : std::string();
  if (!settings.empty()) line += " | " + settings;
  log_ << line << '\n' << std::flush;
  // Serving on without the log would leave its reader a wrong account.
  if (!log_) throw std::runtime_error("cannot write the log file: " + std::string(strerrordesc_np(errno)));
}

UpsModel PtySimulator::Snapshot() const {
  std::lock_guard lock(mutex_);
  UpsModel copy = model_;
  copy.SetRequestObserver(nullptr);
  return copy;
}

void PtySimulator::Update(const std::function<void(UpsModel&)>& change) {
  std::lock_guard lock(mutex_);
  change(model_);
}

int PtySimulator::ReportedType() const {
  std::lock_guard lock(mutex_);
  return model_.ReportedType();
}

bool PtySimulator::Locked() const {
  std::lock_guard lock(mutex_);
  return model_.Locked();
}

int PtySimulator::CommittedModuleCount() const {
  std::lock_guard lock(mutex_);
  return model_.CommittedModuleCount();
}

double PtySimulator::BatteryTime() const {
  std::lock_guard lock(mutex_);
  return model_.BatteryTime();
}

std::optional<std::uint16_t> PtySimulator::Variable(int number) const {
  std::lock_guard lock(mutex_);
  return model_.Variable(number);
}

std::optional<std::uint16_t> PtySimulator::RamWord(int address) const {
  std::lock_guard lock(mutex_);
  return model_.RamWord(address);
}

std::optional<std::uint16_t> PtySimulator::Parameter(int number) const {
  std::lock_guard lock(mutex_);
  return model_.Parameter(number);
}

int PtySimulator::RequestCount(std::uint8_t command) const {
  std::lock_guard lock(mutex_);
  return model_.RequestCount(command);
}

std::vector<Bytes> PtySimulator::Requests() const {
  std::lock_guard lock(mutex_);
  return model_.Requests();
}

std::string PtySimulator::Error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

}  // namespace kbx
