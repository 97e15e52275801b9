#include "sim/pty_simulator.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "platform/clock.h"

namespace kbx {

namespace {

constexpr int kPollMs = 20;
// A frame that stays incomplete this long is garbage.
constexpr auto kLineIdle = std::chrono::milliseconds(200);

std::string TimeStamp() {
  SystemClock clock;
  const auto ms = static_cast<long>(clock.TimeOfDay() * 1000.0);
  char text[32];
  std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld.%03ld", ms / 3600000 % 24, ms / 60000 % 60,
                ms / 1000 % 60, ms % 1000);
  return text;
}

}  // namespace

PtySimulator::PtySimulator(SimOptions options, const std::string& log_path, int answer_delay_ms)
    : model_(std::move(options)), answer_delay_ms_(answer_delay_ms) {
  if (!log_path.empty()) {
    log_.open(log_path, std::ios::out | std::ios::trunc);
    if (!log_) throw std::runtime_error("cannot open log file " + log_path);
    model_.SetRequestObserver([this](const Bytes& frame) { Log(frame); });
  }
}

PtySimulator::~PtySimulator() {
  Stop();
}

void PtySimulator::Start() {
  if (thread_.joinable()) return;
  if (!pty_.IsOpen()) throw std::logic_error("simulator was unplugged");
  stop_ = false;
  thread_ = std::thread([this] { Serve(); });
}

void PtySimulator::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void PtySimulator::Unplug() {
  Stop();
  pty_.Close();
}

void PtySimulator::Serve() {
  using Steady = std::chrono::steady_clock;
  auto last_input = Steady::now();
  try {
    while (!stop_) {
      const Bytes in = pty_.Read(kPollMs);
      Bytes out;
      {
        std::lock_guard lock(mutex_);
        if (!in.empty()) {
          last_input = Steady::now();
          out = model_.Receive(in);
        } else if (model_.HasPartialFrame() && Steady::now() - last_input >= kLineIdle) {
          out = model_.LineIdle();
        }
      }
      if (out.empty()) continue;
      if (answer_delay_ms_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(answer_delay_ms_));
      pty_.Write(out);
    }
  } catch (const std::exception& error) {
    std::lock_guard lock(mutex_);
    error_ = error.what();
  }
}

// Called by the model with mutex_ held.
void PtySimulator::Log(const Bytes& frame) {
  std::string line = TimeStamp();
  char hex[4];
  for (const std::uint8_t byte : frame) {
    std::snprintf(hex, sizeof hex, " %02X", byte);
    line += hex;
  }
  log_ << line << '\n' << std::flush;
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
