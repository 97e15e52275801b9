#include "platform/port_lock.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/run_time_error.h"

namespace kbx {
namespace {

// A lock file without a pid that can be read is taken to be in the making
// (its program has created it and not yet written it) while it is younger
// than this; older, it is stale.
constexpr std::time_t kUnreadableLockGraceSeconds = 10;
// Rounds of looking at the lock file and making ours while other programs
// race for the same port.
constexpr int kLockRounds = 5;

constexpr char kBusyFix[] = "Close the program that uses the port, or choose another port.";

// The system's description of an error number, in English whatever the
// user's locale, as the rest of the text is.
std::string ErrorText(int error) {
  const char* text = ::strerrordesc_np(error);
  return text != nullptr ? text : "error " + std::to_string(error);
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The device behind any symbolic links, so that every name of a device leads
// to the same lock file.
std::string RealPath(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string result(real);
  std::free(real);
  return result;
}

// The names the device is locked under: first the classic one (LCK..ttyS0),
// which is ours to take, then the one a Qt program takes (the path below /dev
// with "/" as "_": LCK..pts_5), where it differs.
std::vector<std::string> LockNames(const std::string& realDevice) {
  std::vector<std::string> names{"LCK.." + BaseName(realDevice)};
  if (realDevice.starts_with("/dev/")) {
    std::string below = realDevice.substr(5);
    std::replace(below.begin(), below.end(), '/', '_');
    if ("LCK.." + below != names.front()) names.push_back("LCK.." + below);
  }
  return names;
}

std::string ProgramOf(pid_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

std::string UserName(uid_t uid) {
  if (const passwd* entry = ::getpwuid(uid)) return entry->pw_name;
  return std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  if (const group* entry = ::getgrgid(gid)) return entry->gr_name;
  return std::to_string(gid);
}

bool Alive(pid_t pid) {
  return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

// The pid a lock file names: ASCII ("%10d\n", or the first line of a longer
// file) or four bytes of a binary number. 0 when it names none.
pid_t LockPid(const std::string& content) {
  if (content.size() == 4 && content.find('\0') != std::string::npos) {
    std::int32_t binary = 0;
    std::memcpy(&binary, content.data(), sizeof binary);
    return binary > 0 ? binary : 0;
  }
  std::size_t i = content.find_first_not_of(" \t");
  if (i == std::string::npos) return 0;
  const std::size_t first = i;
  long long pid = 0;
  for (; i < content.size() && content[i] >= '0' && content[i] <= '9'; ++i) {
    pid = pid * 10 + (content[i] - '0');
    if (pid > INT_MAX) return 0;
  }
  if (i == first) return 0;
  if (i < content.size() && content[i] != '\n' && content[i] != '\r' && content[i] != ' ') return 0;
  return static_cast<pid_t>(pid);
}

// A lock file found in the lock folder.
struct FoundLock {
  bool held = true;  // by a live process, or one still writing it
  pid_t pid = 0;     // the pid it names; 0 when unknown
  dev_t device = 0;
  ino_t inode = 0;
};

// What the lock file at `path` says; nothing when there is none, or when the
// lock folder may not even be looked into. A lock file that is there but
// cannot be read is someone's, and held.
std::optional<FoundLock> LookAt(const std::string& path) {
  FoundLock found;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    struct stat st {};
    if (errno == ENOENT || ::lstat(path.c_str(), &st) != 0) return std::nullopt;
    return found;
  }
  struct stat st {};
  char buffer[64];
  ssize_t size = -1;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    do {
      size = ::read(fd, buffer, sizeof buffer);
    } while (size < 0 && errno == EINTR);
  }
  ::close(fd);
  if (size < 0) return found;
  found.device = st.st_dev;
  found.inode = st.st_ino;
  found.pid = LockPid(std::string(buffer, static_cast<std::size_t>(size)));
  found.held =
      found.pid > 0 ? Alive(found.pid) : std::time(nullptr) - st.st_mtime < kUnreadableLockGraceSeconds;
  return found;
}

// Removes the stale lock file we looked at, unless another has taken its
// place meanwhile (then the next look finds that one). False when the folder
// does not let us remove it.
bool RemoveStale(const std::string& path, const FoundLock& stale) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (st.st_dev != stale.device || st.st_ino != stale.inode) return true;
  return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

enum class Made { kMade, kTaken, kCannot };

// Makes our lock file at `path`: written in full under a temporary name first
// and then linked in, so that nobody reads it half written and it appears only
// where no other is. Gives the lock file's identity in `device` and `inode`.
Made MakeLock(const std::string& folder, const std::string& path, dev_t& device, ino_t& inode) {
  std::string temporary = folder + "/LTMP.XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return Made::kCannot;
  char text[16];
  const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
  struct stat st {};
  const bool written = ::fchmod(fd, 0644) == 0 &&
                       ::write(fd, text, static_cast<std::size_t>(length)) == length && ::fstat(fd, &st) == 0;
  ::close(fd);
  Made made = Made::kCannot;
  if (written) {
    if (::link(temporary.c_str(), path.c_str()) == 0) {
      made = Made::kMade;
    } else if (errno == EEXIST) {
      made = Made::kTaken;
    }
  }
  ::unlink(temporary.c_str());
  device = st.st_dev;
  inode = st.st_ino;
  return made;
}

void RemoveIfOurs(const std::string& path, dev_t device, ino_t inode) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && st.st_dev == device && st.st_ino == inode) ::unlink(path.c_str());
}

// The process that holds flock() on the file (device, inode), from the
// kernel's table of locks; 0 when unknown.
pid_t FlockHolder(dev_t device, ino_t inode) {
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    // "1: FLOCK  ADVISORY  WRITE 1234 00:18:7 0 EOF"; waiters have "->" after the number.
    std::istringstream fields(line);
    std::string number, kind, mode, access, where;
    long long pid = 0;
    fields >> number >> kind >> mode >> access >> pid >> where;
    if (!fields || kind != "FLOCK") continue;
    unsigned major = 0, minor = 0;
    unsigned long long node = 0;
    if (std::sscanf(where.c_str(), "%x:%x:%llu", &major, &minor, &node) != 3) continue;
    if (makedev(major, minor) == device && node == inode && pid > 0 && pid <= INT_MAX)
      return static_cast<pid_t>(pid);
  }
  return 0;
}

std::string KindOf(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a named pipe (FIFO)";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISBLK(mode)) return "a block device";
  return "no device";
}

std::string Ownership(const struct stat& st) {
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  return "owner " + UserName(st.st_uid) + ", group " + GroupName(st.st_gid) + ", mode " + mode;
}

// Serial devices are for the members of their group (dialout on Debian); a
// new member has the group from the next login on.
std::string PermissionFix(const struct stat& st) {
  std::string group = "dialout";
  const bool groupMayUse = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  if (groupMayUse && st.st_gid != 0) group = GroupName(st.st_gid);
  return "Add the user to the " + group + " group (sudo usermod -aG " + group + " " + UserName(::geteuid()) +
         "), then log in again.";
}

void Refuse(PortFailure& failure, int number, std::string reason, std::string fix = {}) {
  failure.number = number;
  failure.reason = std::move(reason);
  failure.fix = std::move(fix);
}

// The port is held by process `pid` (0: unknown), in the way `how` says.
void RefuseBusy(PortFailure& failure, const std::string& device, pid_t pid, const std::string& how) {
  failure.holderPid = pid;
  failure.holderProgram = pid > 0 ? ProgramOf(pid) : "";
  std::string who = "another program";
  if (pid == ::getpid()) {
    who = "this program";
  } else if (pid > 0) {
    who = "process " + std::to_string(pid) +
          (failure.holderProgram.empty() ? std::string() : " (" + failure.holderProgram + ")");
  }
  Refuse(failure, kErrPortAlreadyOpen, device + " is in use by " + who + ": " + how, kBusyFix);
}

}  // namespace

std::string DefaultLockFolder() {
  if (const char* folder = std::getenv("KBX_LOCK_DIR"); folder != nullptr && *folder != '\0') return folder;
  for (const char* folder : {"/run/lock", "/var/lock"}) {
    struct stat st {};
    if (::stat(folder, &st) == 0 && S_ISDIR(st.st_mode)) return folder;
  }
  return "";
}

std::unique_ptr<PortLock> PortLock::Take(const std::string& device, const std::string& lockFolder,
                                         PortFailure& failure) {
  failure = PortFailure{};
  failure.device = device;

  struct stat st {};
  if (::stat(device.c_str(), &st) != 0) {
    const int error = errno;
    if (error == EACCES) {
      Refuse(failure, kErrDeviceNotOpen, device + " cannot be reached: " + ErrorText(error));
    } else {
      Refuse(failure, kErrInvalidPortNumber, device + " does not exist (" + ErrorText(error) + ")");
    }
    return nullptr;
  }
  if (!S_ISCHR(st.st_mode)) {
    Refuse(failure, kErrInvalidPortNumber, device + " is " + KindOf(st.st_mode) + ", not a serial port");
    return nullptr;
  }

  // The lock files, before the device is opened: opening a serial port may
  // already disturb whoever uses it (it raises DTR).
  std::string lockFile;
  dev_t lockDevice = 0;
  ino_t lockInode = 0;
  if (!lockFolder.empty()) {
    const std::vector<std::string> names = LockNames(RealPath(device));
    for (std::size_t k = 1; k < names.size(); ++k) {
      const std::string path = lockFolder + "/" + names[k];
      if (const auto found = LookAt(path); found && found->held) {
        RefuseBusy(failure, device, found->pid, "it holds the lock file " + path);
        return nullptr;
      }
    }
    const std::string path = lockFolder + "/" + names.front();
    for (int round = 0; round < kLockRounds && lockFile.empty(); ++round) {
      if (const auto found = LookAt(path)) {
        if (found->held) {
          RefuseBusy(failure, device, found->pid, "it holds the lock file " + path);
          return nullptr;
        }
        if (!RemoveStale(path, *found)) break;  // not ours to remove: go on without a lock file
        continue;
      }
      const Made made = MakeLock(lockFolder, path, lockDevice, lockInode);
      if (made == Made::kMade) lockFile = path;
      if (made == Made::kCannot) break;  // a folder we may not write to
    }
  }
  const auto releaseLockFile = [&] {
    if (!lockFile.empty()) RemoveIfOurs(lockFile, lockDevice, lockInode);
  };

  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    releaseLockFile();
    switch (error) {
      case EACCES:
      case EPERM:
        Refuse(failure, kErrDeviceNotOpen,
               device + " may not be opened: permission denied (" + Ownership(st) + ")", PermissionFix(st));
        break;
      case EBUSY:
        RefuseBusy(failure, device, 0, "it has opened the port for itself alone");
        break;
      case ENOENT:
      case ENXIO:
      case ENODEV:
      case EIO:
        Refuse(failure, kErrInvalidPortNumber,
               device + " has no serial port behind it (" + ErrorText(error) + ")");
        break;
      default:
        Refuse(failure, kErrDeviceNotOpen, device + " cannot be opened: " + ErrorText(error));
        break;
    }
    return nullptr;
  }

  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {
    ::close(fd);
    releaseLockFile();
    Refuse(failure, kErrInvalidPortNumber, device + " is a device but no terminal, so not a serial port");
    return nullptr;
  }

  int locked = 0;
  do {
    locked = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0 && errno == EWOULDBLOCK) {
    struct stat opened {};
    const pid_t holder = ::fstat(fd, &opened) == 0 ? FlockHolder(opened.st_dev, opened.st_ino) : 0;
    ::close(fd);
    releaseLockFile();
    RefuseBusy(failure, device, holder, "it holds flock() on the port");
    return nullptr;
  }
  // Any other failure of flock() (a driver without it) leaves the lock file
  // as the only mark.

  return std::unique_ptr<PortLock>(new PortLock(fd, lockFile, lockDevice, lockInode));
}

PortLock::PortLock(int fd, std::string lockFile, dev_t lockDevice, ino_t lockInode)
    : fd_(fd), lockFile_(std::move(lockFile)), lockDevice_(lockDevice), lockInode_(lockInode) {}

PortLock::~PortLock() {
  ::close(fd_);  // releases flock()
  if (!lockFile_.empty()) RemoveIfOurs(lockFile_, lockDevice_, lockInode_);
}

std::string PortLock::AccessPath() const {
  return "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(fd_);
}

}  // namespace kbx
