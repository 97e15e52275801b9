#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "platform/port_lock.h"
#include "platform/port_map.h"
#include "ups/kbx_config.h"

namespace kbx {

// What a session of kbx did, for --json: collected as it runs, written as
// one JSON object when it ends.
struct SessionReport {
  int exit = 0;
  int port = 0;                                       // the COM number; 0 before the options are read
  std::string device;                                 // the device behind it
  std::string settings;                               // as the settings caption shows them ("19200,N,8,1")
  std::optional<int> type;                            // the UPS type code, once identified
  std::vector<std::pair<int, std::string>> versions;  // processor number, version text
  std::optional<double> runtimeSeconds;               // the last reading of the time remaining, whole seconds
  std::string runtime;                                // its time as the board shows it
  struct Modules {
    int requested = 0;
    std::string outcome;  // "done", "failed", "not confirmed", "not supported", "link down", "not run"
    std::optional<KbxUpdateOutcome> update;  // how the update went, once it ran
    std::string why;                         // why it was not run or not confirmed
  };
  std::optional<Modules> modules;   // the last modules command, when one was given
  std::vector<std::string> board;   // every board line, in order
  std::vector<std::string> errors;  // every message written on stderr, in order
  // The one of them that a first signal's handler wrote at once, if any.
  std::optional<std::size_t> noticeAt;
  std::string interrupted;  // the signal's name when one ended the session
};

// `text` as a JSON string, quotes included. Control characters and quotes are
// escaped; a byte that is not part of valid UTF-8 becomes \u00XX of its value.
std::string JsonString(const std::string& text);

// The report as one JSON object on one line.
void WriteJsonReport(const SessionReport& report, std::ostream& out);

// A port as `kbx ports` lists it: the port and who holds it.
struct ListedPort {
  PortInfo port;
  PortHolder holder;
};

// The ports as one JSON array on one line, an object for each: "com" (null
// for none), "device", "stable_name", "description", "driver", "vendor_id",
// "product_id", "manufacturer", "product", "serial_number" (each null when
// the system says nothing) and "held_by" ({"pid", "program"}, or null).
void WritePortsJson(const std::vector<ListedPort>& ports, std::ostream& out);

}  // namespace kbx
