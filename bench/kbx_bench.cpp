// Measures `kbx` sessions against the simulated UPS: wall time against the
// floor set by the program's fixed waits, CPU time and peak memory.
//
//   kbx-bench PATH-TO-KBX [--runs N] [--desktop PATH-TO-KBX-CONFIGURATOR]
//             [--sim PATH-TO-KBX-UPS-SIM]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "support/fake_port.h"
#include "support/recording_host.h"
#include "support/ser2net.h"
#include "support/simulated_ups.h"
#include "support/virtual_clock.h"
#include "ups/kbx_config.h"
#include "ups/runtime.h"
#include "ups/startup.h"
#include "ups/ups_probe.h"

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
  test::SimulatedUps ups(options);
  test::VirtualClock clock;
  test::FakePort port(clock);
  test::RecordingHost host;
  // The UPS answers at once: every wait left is one of the program's own.
  ups.Attach(port, 0);
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

// The fixed waits of probing one port for a UPS, as kbx scan probes each of
// its ports, on a UPS that answers at once.
double ProbeFloorSeconds(int type, bool silent = false) {
  SimOptions options;
  options.type = type;
  options.silent = silent;
  test::SimulatedUps ups(options);
  test::VirtualClock clock;
  test::FakePort port(clock);
  ups.Attach(port, 0);
  ProbeForUps(port, clock, 1, {});
  return static_cast<double>(clock.SleptMs()) / 1000.0;
}

// A kbx-ups-sim process on its own pseudo-terminal; type 0: a silent one.
class Simulator {
 public:
  Simulator(const std::string& program, int type) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      const std::string typeText = std::to_string(type);
      if (type == 0) {
        execl(program.c_str(), program.c_str(), "--silent", static_cast<char*>(nullptr));
      } else {
        execl(program.c_str(), program.c_str(), "--type", typeText.c_str(), static_cast<char*>(nullptr));
      }
      _exit(127);
    }
    close(out[1]);
    // Its first line is the device to open.
    for (char c; read(out[0], &c, 1) == 1 && c != '\n';) device_ += c;
    close(out[0]);
  }
  ~Simulator() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;
  const std::string& Device() const { return device_; }

 private:
  pid_t pid_ = -1;
  std::string device_;
};

Measure Median(std::vector<Measure> measures) {
  std::sort(measures.begin(), measures.end(),
            [](const Measure& a, const Measure& b) { return a.wall < b.wall; });
  return measures[measures.size() / 2];
}

// kbx scan over eight simulated UPSes of every type, each a kbx-ups-sim
// process of its own, against one connect to one of them; the machine's own
// serial ports and the user's COM file are left out.
bool BenchScan(const std::string& kbx, const std::string& sim, int runs) {
  std::vector<std::unique_ptr<Simulator>> simulators;
  std::vector<std::string> scan{"scan"};
  const int types[] = {280, 281, 290, 292, 280, 281, 290, 292};
  for (std::size_t k = 0; k < std::size(types); ++k) {
    simulators.push_back(std::make_unique<Simulator>(sim, types[k]));
    if (simulators.back()->Device().empty()) {
      std::printf("kbx scan: the simulator did not start\n");
      return false;
    }
    scan.insert(scan.end(), {"--com", std::to_string(k + 1) + "=" + simulators.back()->Device()});
  }
  char root[] = "/tmp/kbx-bench-XXXXXX";
  if (mkdtemp(root) == nullptr) return false;
  // Neither the machine's ports nor a COM file of the user's.
  setenv("KBX_SYSTEM_ROOT", root, 1);
  const char* config = getenv("XDG_CONFIG_HOME");
  const std::string savedConfig = config ? config : "";
  setenv("XDG_CONFIG_HOME", root, 1);
  // And the same with a ninth port that never answers.
  simulators.push_back(std::make_unique<Simulator>(sim, 0));
  std::vector<std::string> withSilent = scan;
  withSilent.insert(withSilent.end(), {"--com", "9=" + simulators.back()->Device()});
  std::vector<Measure> connects, scans, silentScans;
  for (int i = 0; i < runs; ++i) {
    connects.push_back(RunOnce(kbx, {"--com", "1=" + simulators[2]->Device(), "connect"}));
    scans.push_back(RunOnce(kbx, scan));
    silentScans.push_back(RunOnce(kbx, withSilent));
  }
  unsetenv("KBX_SYSTEM_ROOT");
  if (config) {
    setenv("XDG_CONFIG_HOME", savedConfig.c_str(), 1);
  } else {
    unsetenv("XDG_CONFIG_HOME");
  }
  rmdir(root);
  const Measure connect = Median(connects);
  const Measure scanned = Median(scans);
  const double ratio = scanned.wall / connect.wall;
  const double floor = ProbeFloorSeconds(290);
  const Measure silentScan = Median(silentScans);
  const double silentFloor = ProbeFloorSeconds(290, true);
  const bool silentOk = WIFEXITED(silentScan.status) && WEXITSTATUS(silentScan.status) == 0 &&
                        silentScan.wall <= silentFloor * 1.03;
  const bool ok = WIFEXITED(scanned.status) && WEXITSTATUS(scanned.status) == 0 &&
                  WIFEXITED(connect.status) && WEXITSTATUS(connect.status) == 0 && ratio <= 1.3;
  std::printf("kbx scan over 8 simulated UPSes against kbx connect to one  (median of %d runs)\n", runs);
  std::printf("  one connect %8.3f s   (kbx --com 1=SIM connect: connect and disconnect)\n", connect.wall);
  std::printf("  scan        %8.3f s   (8 kbx-ups-sim, types 280, 281, 290, 292 twice)\n", scanned.wall);
  std::printf("  ratio       %8.4f     (target <= 1.3)\n", ratio);
  std::printf("  scan floor  %8.3f s   (the fixed waits of one port's probe; scan / floor %.4f)\n", floor,
              scanned.wall / floor);
  std::printf("  CPU time    %8.3f s   peak memory %.1f MB\n", scanned.cpu,
              static_cast<double>(scanned.maxRssKb) / 1024.0);
  std::printf("  exit status %d   %s\n\n", WIFEXITED(scanned.status) ? WEXITSTATUS(scanned.status) : -1,
              ok ? "PASS" : "FAIL");
  std::printf("kbx scan over the same 8 and a silent line  (median of %d runs)\n", runs);
  std::printf("  scan        %8.3f s\n", silentScan.wall);
  std::printf("  silent floor%8.3f s   (the fixed waits of one silent port's probe; target: within 3 %%)\n",
              silentFloor);
  std::printf("  exit status %d   %s\n\n", WIFEXITED(silentScan.status) ? WEXITSTATUS(silentScan.status) : -1,
              silentOk ? "PASS" : "FAIL");
  return ok && silentOk;
}

// The same session on the simulator's own pseudo-terminal and through
// ser2net in front of it, by rfc2217:// (the line set through the server) and
// by tcp://: what the network path costs on loopback.
bool BenchNetwork(const std::string& kbx, const std::string& sim, int runs) {
  const std::string ser2net = test::Ser2netProgram();
  if (ser2net.empty()) {
    std::printf("kbx through ser2net: skipped, ser2net is not installed (make deps installs it)\n\n");
    return true;
  }
  Simulator ups(sim, 290);
  char folder[] = "/tmp/kbx-bench-XXXXXX";
  if (ups.Device().empty() || mkdtemp(folder) == nullptr) {
    std::printf("kbx through ser2net: the simulator did not start\n");
    return false;
  }
  std::vector<Measure> local, rfc2217, tcp;
  {
    test::Ser2net server(ser2net, folder, ups.Device());
    const auto session = [](const std::string& device) {
      return std::vector<std::string>{"--com", "1=" + device, "connect", "runtime", "modules", "2", "--yes"};
    };
    for (int i = 0; i < runs; ++i) {
      local.push_back(RunOnce(kbx, session(ups.Device())));
      rfc2217.push_back(RunOnce(kbx, session(server.Address("rfc2217"))));
      tcp.push_back(RunOnce(kbx, session(server.Address("tcp"))));
    }
  }
  for (const char* file : {"ser2net.yaml", "ser2net.out", "ser2net.err"})
    unlink((std::string(folder) + "/" + file).c_str());
  rmdir(folder);
  const Measure onPty = Median(local);
  bool ok = WIFEXITED(onPty.status) && WEXITSTATUS(onPty.status) == 0;
  std::printf(
      "kbx --com 1=DEVICE connect runtime modules 2 --yes (type 290), local against ser2net  (median "
      "of %d runs)\n",
      runs);
  std::printf("  pseudo-terminal %8.3f s\n", onPty.wall);
  for (const auto& [name, measures] : {std::pair{"rfc2217://", &rfc2217}, {"tcp://", &tcp}}) {
    const Measure m = Median(*measures);
    const double ratio = m.wall / onPty.wall;
    const bool passed = WIFEXITED(m.status) && WEXITSTATUS(m.status) == 0 && ratio <= 1.03;
    ok = ok && passed;
    std::printf("  %-15s %8.3f s   ratio %.4f (target <= 1.03)   CPU %.3f s   %s\n", name, m.wall, ratio,
                m.cpu, passed ? "PASS" : "FAIL");
  }
  std::printf("\n");
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: kbx-bench PATH-TO-KBX [--runs N] [--desktop PATH] [--sim PATH-TO-KBX-UPS-SIM]\n");
    return 2;
  }
  const std::string kbx = argv[1];
  int runs = 3;
  std::string desktop;
  std::string sim;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--desktop") == 0) desktop = argv[i + 1];
    if (std::strcmp(argv[i], "--sim") == 0) sim = argv[i + 1];
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
  if (!sim.empty()) pass = BenchScan(kbx, sim, runs) && pass;
  if (!sim.empty()) pass = BenchNetwork(kbx, sim, runs) && pass;
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
