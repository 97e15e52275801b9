#include "session/session_rig.h"

#include "link/trace.h"
#include "platform/tty_port.h"
#include "sim/pty_simulator.h"

namespace kbx {

PortMap SessionPortMap(const SessionOptions& options) {
  PortMap ports;
  for (const auto& mapping : options.mappings) ports.Map(mapping.first, mapping.second);
  return ports;
}

SessionRig::SessionRig(const SessionOptions& options, Clock& clock) : ports_(SessionPortMap(options)) {
  if (!options.trace.empty()) {
    try {
      traceFile_ = std::make_unique<OutputFile>(options.trace);
    } catch (const std::runtime_error& error) {
      throw SessionError("cannot write the trace file \"" + options.trace + "\": " + error.what(), 1);
    }
  }
  if (options.simulateType) {
    SimOptions sim;
    sim.type = *options.simulateType;
    if (options.accessCode) sim.accessCode = *options.accessCode;
    try {
      simulator_ = std::make_unique<PtySimulator>(sim);
      simulator_->Start();
    } catch (const std::exception& error) {
      throw SessionError(std::string("cannot start the simulated UPS: ") + error.what(), 1);
    }
    ports_.Map(options.port, simulator_->SlavePath());
  }
  serial_ = std::make_unique<TtyPort>(ports_);
  if (traceFile_) {
    traced_ = std::make_unique<TracingPort>(*serial_, clock, traceFile_->Stream(),
                                            [this](int number) { return ports_.Device(number); });
  }
}

SessionRig::~SessionRig() = default;

SerialPort& SessionRig::Port() {
  if (traced_) return *traced_;
  return *serial_;
}

const PortFailure& SessionRig::OpenFailure() const {
  return serial_->LastFailure();
}

}  // namespace kbx
