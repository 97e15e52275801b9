#include "session/port_scan.h"

#include <exception>
#include <thread>

#include "platform/mapped_port.h"
#include "platform/stop_signals.h"

namespace kbx {

std::vector<ScanTarget> ScanTargets(const PortMap& ports) {
  std::vector<ScanTarget> targets;
  for (const PortInfo& port : ports.ListPorts()) targets.push_back({port.comNumber, port.device});
  return targets;
}

std::vector<ScanLine> ScanSideBySide(const std::vector<ScanTarget>& targets,
                                     const std::function<ProbeFinding(const ScanTarget&)>& probe) {
  std::vector<ScanLine> lines(targets.size());
  std::vector<std::exception_ptr> failures(targets.size());
  std::vector<std::thread> threads;
  threads.reserve(targets.size());
  for (std::size_t k = 0; k < targets.size(); ++k) {
    lines[k].target = targets[k];
    threads.emplace_back([&, k] {
      try {
        lines[k].finding = probe(targets[k]);
      } catch (...) {
        failures[k] = std::current_exception();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
  return lines;
}

std::vector<ScanLine> ScanPorts(const PortMap& ports, const SessionOptions& options, Clock& clock) {
  return ScanSideBySide(ScanTargets(ports), [&](const ScanTarget& target) {
    // The port's own map: its COM number, or 1 for a device that has none,
    // names its device and nothing else.
    const int number = target.comNumber > 0 ? target.comNumber : 1;
    PortMap map;
    map.Map(number, target.device);
    MappedPort port(map);
    ProbeSettings settings;
    settings.baudRate = options.baud;
    settings.accessCode = options.accessCode;
    settings.stopRequested = [] { return StopSignal() != 0; };
    return ProbeForUps(port, clock, number, settings);
  });
}

}  // namespace kbx
