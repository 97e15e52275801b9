#pragma once

#include <string>
#include <vector>

namespace kbx {

// One COM number the COM file gives.
struct ComFileEntry {
  int number = 0;
  std::string device;  // as written: a device path, or another kind of port PortMap takes
};

// The COM file: one small file of the user's, read by both programs at start,
// that names the device behind a COM number, one "COMn=DEVICE" a line. Blank
// lines and lines that start with "#" say nothing. A line that cannot be read
// is named in `problems` and the rest of the file still counts; of two lines
// for one number the first counts.
struct ComFile {
  std::string path;
  std::vector<ComFileEntry> entries;  // in the order of their lines
  std::vector<std::string> problems;  // "FILE:LINE: why", or why the file could not be read
};

// Where the COM file is: kbx/ports.conf in $XDG_CONFIG_HOME (when it is an
// absolute path), else in ~/.config; "" when there is no home to find it in.
std::string ComFilePath();

// Reads the COM file at `path`. A file that does not exist gives nothing and
// no problem.
ComFile ReadComFile(const std::string& path);

// Adds a line for each entry at the end of the COM file, keeping every line
// it has byte for byte; a file that is not there yet is made, its folder too.
// The file is replaced whole (written under another name, then renamed over
// it), so that nobody reads it half written. False, with the reason, when it
// cannot be written; the file is then as it was.
bool AddToComFile(const std::string& path, const std::vector<ComFileEntry>& entries, std::string& error);

}  // namespace kbx
