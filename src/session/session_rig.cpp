#include "session/session_rig.h"

#include "link/trace.h"
#include "platform/com_file.h"
#include "platform/mapped_port.h"
#include "platform/serial_devices.h"
#include "sim/pty_simulator.h"

namespace kbx {

PortMap SessionPortMap(const SessionOptions& options, std::vector<std::string>* notes) {
  const std::string root = SystemRoot();
  PortMap ports(root);
  ports.SetDevices(FindSerialDevices(root));
  const std::string path = ComFilePath();
  ComFile file = path.empty() ? ComFile{} : ReadComFile(path);
  for (const ComFileEntry& entry : file.entries) ports.Remember(entry.number, entry.device);
  for (const auto& mapping : options.mappings) ports.Map(mapping.first, mapping.second);
  std::vector<ComFileEntry> named;
  for (const auto& [number, device] : ports.NameAdapters()) named.push_back({number, device});
  std::string error;
  if (!named.empty() && !path.empty() && !AddToComFile(path, named, error)) {
    for (const ComFileEntry& entry : named)
      file.problems.push_back("COM" + std::to_string(entry.number) + " is " + entry.device +
                              " for this run only: " + error);
  }
  if (notes) notes->insert(notes->end(), file.problems.begin(), file.problems.end());
  return ports;
}

SessionRig::SessionRig(const SessionOptions& options, Clock& clock)
    : ports_(SessionPortMap(options, &notes_)) {
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
  serial_ = std::make_unique<MappedPort>(ports_);
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

void SessionRig::FinishTrace() {
  if (traced_) traced_->Finish();
}

}  // namespace kbx
