// Measures `kbx` sessions against the simulated UPS: wall time against the
// floor set by the program's fixed waits, CPU time and peak memory.
//
//   kbx-bench PATH-TO-KBX [--runs N] [--desktop PATH-TO-KBX-CONFIGURATOR]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/ups_model.h"
#include "support/fake_port.h"
#include "support/recording_host.h"
#include "support/virtual_clock.h"
#include "ups/kbx_config.h"
#include "ups/runtime.h"
#include "ups/startup.h"

namespace {

using namespace kbx;

struct Scenario {
  int type;
  bool runtime;
  int modules;  // -1: none
  std::vector<std::string> Args() const {
    std::vector<std::string> args{"--simulate", std::to_string(type), "connect"};
    if (runtime) args.push_back("runtime");
    if (modules >= 0) args.insert(args.end(), {"modules", std::to_string(modules), "--yes"});
    return args;
  }
};

// The fixed waits of the scenario: the same operations as kbx runs, on a UPS
// that answers at once.
double FloorSeconds(const Scenario& scenario) {
  SimOptions options;
  options.type = scenario.type;
  UpsModel model(options);
  test::VirtualClock clock;
  test::FakePort port(clock);
  test::RecordingHost host;
  // The UPS answers at once: every wait left is one of the program's own.
  port.onWrite = [&](const Bytes& frame) { port.Deliver(model.Receive(frame), 0); };
  Xcp xcp(port, clock, host);
  StartUp(xcp);
  xcp.ConnectUps();
  if (scenario.runtime) RuntimeCommand(xcp);
  if (scenario.modules >= 0) {
    const KbxChoices choices = DetermineKbxSupport(xcp);
    ApplyKbxConfiguration(xcp, std::to_string(scenario.modules), choices.enableTest);
  }
  if (xcp.LinkUp()) xcp.DisconnectUps();
  return static_cast<double>(clock.SleptMs()) / 1000.0;
}

struct Measure {
  double wall = 0;
  double cpu = 0;
  long maxRssKb = 0;
  int status = 0;
};

// Runs the program until it ends; with `untilShown`, the time is taken when
// it prints its first line (the desktop program, when its window is shown).
Measure RunOnce(const std::string& kbx, const std::vector<std::string>& args, bool untilShown = false) {
  std::vector<char*> argv{const_cast<char*>(kbx.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int out[2];
  if (pipe(out) != 0) return {};
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(untilShown ? out[1] : null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    close(out[0]);
    execv(kbx.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  Measure m;
  if (untilShown) {
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') {
    }
    m.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  close(out[0]);
  rusage usage{};
  wait4(pid, &m.status, 0, &usage);
  if (!untilShown) m.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
          static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  m.maxRssKb = usage.ru_maxrss;
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: kbx-bench PATH-TO-KBX [--runs N]\n");
    return 2;
  }
  const std::string kbx = argv[1];
  int runs = 3;
  std::string desktop;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--desktop") == 0) desktop = argv[i + 1];
  }

  std::vector<Scenario> scenarios;
  for (int type : {280, 290}) {
    scenarios.push_back({type, false, -1});
    scenarios.push_back({type, true, -1});
    scenarios.push_back({type, false, 2});
  }
  bool pass = true;
  for (const auto& scenario : scenarios) {
    const double floor = FloorSeconds(scenario);
    std::vector<Measure> measures;
    for (int i = 0; i < runs; ++i) measures.push_back(RunOnce(kbx, scenario.Args()));
    std::sort(measures.begin(), measures.end(),
              [](const Measure& a, const Measure& b) { return a.wall < b.wall; });
    const Measure& median = measures[measures.size() / 2];
    long peak = 0;
    for (const auto& m : measures) peak = std::max(peak, m.maxRssKb);
    const double ratio = median.wall / floor;
    const double cpuShare = 100.0 * median.cpu / median.wall;
    const bool ok = WIFEXITED(median.status) && WEXITSTATUS(median.status) == 0 && ratio <= 1.03 &&
                    cpuShare < 3.0 && peak < 30 * 1024;
    pass = pass && ok;
    std::string line = "kbx";
    for (const auto& a : scenario.Args()) line += " " + a;
    std::printf("%s  (median of %d runs)\n", line.c_str(), runs);
    std::printf("  wall time   %8.3f s\n", median.wall);
    std::printf("  floor       %8.3f s   (the fixed waits of the session)\n", floor);
    std::printf("  ratio       %8.4f     (target <= 1.03)\n", ratio);
    std::printf("  CPU time    %8.3f s   (%.2f %% of wall; target < 3 %%)\n", median.cpu, cpuShare);
    std::printf("  peak memory %8.1f MB  (target < 30 MB)\n", static_cast<double>(peak) / 1024.0);
    std::printf("  exit status %d   %s\n\n", WIFEXITED(median.status) ? WEXITSTATUS(median.status) : -1,
                ok ? "PASS" : "FAIL");
  }
  if (!desktop.empty()) {
    // The desktop program from start to its window shown, on a simulated UPS.
    setenv("KBX_EXIT_WHEN_SHOWN", "1", 1);
    if (getenv("DISPLAY") == nullptr && getenv("WAYLAND_DISPLAY") == nullptr)
      setenv("QT_QPA_PLATFORM", "offscreen", 0);
    std::vector<Measure> measures;
    for (int i = 0; i < runs; ++i) measures.push_back(RunOnce(desktop, {"--simulate", "290"}, true));
    std::sort(measures.begin(), measures.end(),
              [](const Measure& a, const Measure& b) { return a.wall < b.wall; });
    const Measure& median = measures[measures.size() / 2];
    long peak = 0;
    for (const auto& m : measures) peak = std::max(peak, m.maxRssKb);
    const bool ok = median.wall <= 0.5 && peak < 80 * 1024;
    pass = pass && ok;
    std::printf("kbx-configurator --simulate 290, start to window shown  (median of %d runs, %s)\n", runs,
                getenv("QT_QPA_PLATFORM") ? getenv("QT_QPA_PLATFORM") : "display");
    std::printf("  time        %8.3f s   (target <= 0.5 s)\n", median.wall);
    std::printf("  peak memory %8.1f MB  (target < 80 MB)\n", static_cast<double>(peak) / 1024.0);
    std::printf("  %s\n\n", ok ? "PASS" : "FAIL");
  }
  return pass ? 0 : 1;
}
