#include "platform/com_file.h"

#include "platform/port_address.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/port_map.h"

namespace kbx {
namespace {

namespace fs = std::filesystem;

constexpr char kHeader[] =
    "# COM numbers of kbx and kbx-configurator, one COMn=DEVICE a line; --com wins for one run.\n";

std::string ErrorText(int error) {
  const char* text = ::strerrordesc_np(error);
  return text != nullptr ? text : "error " + std::to_string(error);
}

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Why a line is no COM number, or "" when `entry` holds what it says.
std::string ReadLine(const std::string& line, ComFileEntry& entry) {
  const std::size_t eq = line.find('=');
  if (eq == std::string::npos || line.size() < 3 || ::strncasecmp(line.c_str(), "COM", 3) != 0)
    return "expected COMn=DEVICE";
  const std::string number = Trimmed(line.substr(3, eq - 3));
  const std::string device = Trimmed(line.substr(eq + 1));
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos || number.size() > 5 ||
      std::stoi(number) < 1 || std::stoi(number) > PortMap::kMaxNumber)
    return "\"" + number + "\" is no COM number from 1 to " + std::to_string(PortMap::kMaxNumber);
  if (device.empty()) return "no device after \"=\"";
  std::string why;
  if (device.front() != '/' && !ParsePortAddress(device, why))
    return device.find("://") == std::string::npos
               ? "\"" + device + "\" is neither an absolute path nor a network port"
               : why;
  if (!PortMap::ParseMapping(number + "=" + device, entry.number, entry.device))
    return "\"" + device + "\" is no port";
  return "";
}

// The COM file `path` whose content is `text`.
ComFile ParseComFile(const std::string& path, const std::string& text) {
  ComFile file;
  file.path = path;
  std::istringstream in(text);
  std::map<int, std::string> given;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    const std::string trimmed = Trimmed(line);
    if (trimmed.empty() || trimmed.front() == '#') continue;
    ComFileEntry entry;
    std::string why = ReadLine(trimmed, entry);
    if (why.empty()) {
      const auto [earlier, first] = given.emplace(entry.number, entry.device);
      // The same line twice (two programs that met a new adapter at once) says nothing new.
      if (!first && earlier->second == entry.device) continue;
      if (!first) why = "COM" + std::to_string(entry.number) + " is given on an earlier line";
    }
    if (!why.empty()) {
      file.problems.push_back(path + ":" + std::to_string(number) + ": " + why);
      continue;
    }
    file.entries.push_back(std::move(entry));
  }
  return file;
}

}  // namespace

std::string ComFilePath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return std::string(config) + "/kbx/ports.conf";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.config/kbx/ports.conf";
  return "";
}

ComFile ReadComFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ComFile file;
    file.path = path;
    if (errno != ENOENT) file.problems.push_back(path + ": " + ErrorText(errno));
    return file;
  }
  std::ostringstream text;
  text << in.rdbuf();
  ComFile file = ParseComFile(path, text.str());
  if (in.bad()) file.problems.push_back(path + ": " + ErrorText(errno));
  return file;
}

bool AddToComFile(const std::string& path, const std::vector<ComFileEntry>& entries, std::string& error) {
  // A COM file that is a link to another file stays one: that file is written.
  std::error_code ec;
  fs::path target = path;
  if (fs::is_symlink(fs::symlink_status(path, ec))) {
    target = fs::canonical(path, ec);
    if (ec) {
      error = "cannot follow " + path + ": " + ErrorText(ec.value());
      return false;
    }
  }
  fs::create_directories(target.parent_path(), ec);
  if (ec) {
    error = "cannot make " + target.parent_path().string() + ": " + ErrorText(ec.value());
    return false;
  }
  std::string content;
  mode_t mode = 0644;
  {
    std::ifstream in(target, std::ios::binary);
    if (in) {
      std::ostringstream all;
      all << in.rdbuf();
      content = all.str();
      struct stat st {};
      if (::stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;
    } else if (errno != ENOENT) {
      error = "cannot read " + target.string() + ": " + ErrorText(errno);
      return false;
    } else {
      content = kHeader;
    }
  }
  // Another program may have added the same adapter meanwhile: a number or a
  // device the file has now is not added again.
  const ComFile now = ParseComFile(target.string(), content);
  const auto inFile = [&now](const ComFileEntry& entry) {
    return std::any_of(now.entries.begin(), now.entries.end(), [&entry](const ComFileEntry& line) {
      return line.number == entry.number || line.device == entry.device;
    });
  };
  if (std::all_of(entries.begin(), entries.end(), inFile)) return true;
  if (!content.empty() && content.back() != '\n') content += '\n';
  for (const ComFileEntry& entry : entries) {
    if (!inFile(entry)) content += "COM" + std::to_string(entry.number) + "=" + entry.device + "\n";
  }

  std::string temporary = target.string() + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    error = "cannot write in " + target.parent_path().string() + ": " + ErrorText(errno);
    return false;
  }
  std::size_t written = 0;
  while (written < content.size()) {
    const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  int failure = written == content.size() ? 0 : (errno != 0 ? errno : EIO);
  if (failure == 0 && (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0)) failure = errno;
  if (::close(fd) != 0 && failure == 0) failure = errno;
  if (failure == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) failure = errno;
  if (failure != 0) {
    ::unlink(temporary.c_str());
    error = "cannot write " + target.string() + ": " + ErrorText(failure);
    return false;
  }
  return true;
}

}  // namespace kbx
