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
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/decimal.h"
#include "platform/file_kind.h"
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

// The names of users and groups, read into buffers of the caller's: ports
// are opened on several threads at once during a scan.
std::string UserName(uid_t uid) {
  passwd entry{};
  passwd* found = nullptr;
  char buffer[16384];
  if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found) return found->pw_name;
  return std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  group entry{};
  group* found = nullptr;
  char buffer[16384];
  if (::getgrgid_r(gid, &entry, buffer, sizeof buffer, &found) == 0 && found) return found->gr_name;
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
  const std::size_t first = content.find_first_not_of(" \t");
  if (first == std::string::npos) return 0;
  const std::string_view number = std::string_view(content).substr(first);
  // Nothing for a number beyond any pid.
  return ParseDecimal<pid_t>(number.substr(0, number.find_first_of("\n\r "))).value_or(0);
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
  const int error = errno;  // why it could not be made, for the caller
  ::unlink(temporary.c_str());
  errno = error;
  device = st.st_dev;
  inode = st.st_ino;
  return made;
}

// Async-signal-safe: RemoveHeldLockFiles calls it from a signal handler.
void RemoveIfOurs(const char* path, dev_t device, ino_t inode) {
  struct stat st {};
  if (::lstat(path, &st) == 0 && st.st_dev == device && st.st_ino == inode) ::unlink(path);
}

// Whether a lock line of the kernel ("1: FLOCK  ADVISORY  WRITE 1234
// 00:18:7 0 EOF", after "lock:" in fdinfo) is a flock() on (device, inode);
// gives the pid the kernel noted, the process that took it.
bool FlockOn(const std::string& line, dev_t device, ino_t inode, long long& pid) {
  std::istringstream fields(line);
  std::string number, kind, mode, access, where;
  fields >> number >> kind >> mode >> access >> pid >> where;
  if (!fields || kind != "FLOCK") return false;
  unsigned major = 0, minor = 0;
  unsigned long long node = 0;
  if (std::sscanf(where.c_str(), "%x:%x:%llu", &major, &minor, &node) != 3) return false;
  return makedev(major, minor) == device && node == inode;
}

// The process that holds flock() on the file (device, inode) now; 0 when
// unknown. The kernel's table names the process that took the lock, which
// may have ended while a child keeps the descriptor: then the process is
// found whose descriptor carries the lock.
pid_t FlockHolder(dev_t device, ino_t inode) {
  std::ifstream locks("/proc/locks");
  long long taker = 0;
  for (std::string line; std::getline(locks, line);) {
    // Waiters have "->" after the number and no pid where it stands.
    if (FlockOn(line, device, inode, taker)) break;
    taker = 0;
  }
  if (taker > 0 && taker <= INT_MAX && Alive(static_cast<pid_t>(taker))) return static_cast<pid_t>(taker);
  std::error_code error;
  for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = process.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code unreadable;
    for (const auto& info : std::filesystem::directory_iterator(process.path() / "fdinfo", unreadable)) {
      std::ifstream in(info.path());
      for (std::string line; std::getline(in, line);) {
        long long pid = 0;
        if (line.starts_with("lock:") && FlockOn(line.substr(5), device, inode, pid)) return std::stoi(name);
      }
    }
  }
  return 0;
}

std::string Ownership(const struct stat& st) {
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  return "owner " + UserName(st.st_uid) + ", group " + GroupName(st.st_gid) + ", mode " + mode;
}

// Serial devices are for the members of their group (dialout on Debian); a
// new member has the group from the next login on. Joining a group that may
// not read and write the device (or root's) would not help: then the device
// itself must change.
std::string PermissionFix(const struct stat& st) {
  const bool groupMayUse = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  if (groupMayUse && st.st_gid != 0) {
    const std::string group = GroupName(st.st_gid);
    return "Add the user to the " + group + " group (sudo usermod -aG " + group + " " +
           UserName(::geteuid()) + "), then log in again.";
  }
  return std::string(groupMayUse ? "The device belongs to the group root"
                                 : "The device grants its group nothing") +
         ", so joining a group does not help: ask the administrator to give it to the dialout group with "
         "read "
         "and write for that group (a udev rule), then add the user to dialout.";
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

// The lock files this process holds, for RemoveHeldLockFiles: plain memory
// that a signal handler may read. A scan holds a port on each of its threads,
// so a slot is claimed before it is filled, and marked used once it is.
enum SlotState : int { kSlotFree, kSlotFilling, kSlotUsed };
struct HeldLockFile {
  std::atomic<int> state{kSlotFree};
  char path[PATH_MAX];
  dev_t device;
  ino_t inode;
};
// Enough for every serial port of a machine being scanned at once.
HeldLockFile heldLockFiles[64];
static_assert(std::atomic<int>::is_always_lock_free);

void Hold(const std::string& path, dev_t device, ino_t inode) {
  static const bool removedAtExit = std::atexit(RemoveHeldLockFiles) == 0;
  (void)removedAtExit;
  if (path.size() >= PATH_MAX) return;
  for (HeldLockFile& slot : heldLockFiles) {
    int expected = kSlotFree;
    if (!slot.state.compare_exchange_strong(expected, kSlotFilling)) continue;
    std::memcpy(slot.path, path.c_str(), path.size() + 1);
    slot.device = device;
    slot.inode = inode;
    slot.state.store(kSlotUsed);
    return;
  }
}

void Release(const std::string& path) {
  for (HeldLockFile& slot : heldLockFiles) {
    if (slot.state.load() == kSlotUsed && path == slot.path) slot.state.store(kSlotFree);
  }
}

// Says once in the life of the process that ports go without a lock file.
void WarnNoLockFile(const std::string& folder, int error) {
  static std::atomic<bool> warned{false};
  if (warned.exchange(true)) return;
  std::fprintf(stderr, "%s: no lock file in %s (%s): other programs see the port in use only by flock()\n",
               program_invocation_short_name, folder.c_str(), ErrorText(error).c_str());
}

// What Take has claimed so far, given back unless it is handed on.
struct Claim {
  int fd = -1;
  std::string lockFile;
  dev_t lockDevice = 0;
  ino_t lockInode = 0;

  Claim() = default;
  Claim(const Claim&) = delete;
  Claim& operator=(const Claim&) = delete;
  ~Claim() {
    if (fd >= 0) ::close(fd);
    if (!lockFile.empty()) RemoveIfOurs(lockFile.c_str(), lockDevice, lockInode);
  }
};

}  // namespace

void RemoveHeldLockFiles() {
  for (HeldLockFile& slot : heldLockFiles) {
    if (slot.state.load() != kSlotUsed) continue;
    RemoveIfOurs(slot.path, slot.device, slot.inode);
    slot.state.store(kSlotFree);
  }
}

std::string DefaultLockFolder() {
  if (const char* folder = std::getenv("KBX_LOCK_DIR"); folder != nullptr && *folder != '\0') return folder;
  for (const char* folder : {"/run/lock", "/var/lock"}) {
    struct stat st {};
    if (::stat(folder, &st) == 0 && S_ISDIR(st.st_mode)) return folder;
  }
  return "/run/lock";
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
    Refuse(failure, kErrInvalidPortNumber, device + " is " + FileKind(st.st_mode) + ", not a serial port");
    return nullptr;
  }

  // The lock files, before the device is opened: opening a serial port may
  // already disturb whoever uses it (it raises DTR).
  Claim claim;
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
    for (int round = 0; round < kLockRounds && claim.lockFile.empty(); ++round) {
      if (const auto found = LookAt(path)) {
        if (found->held) {
          RefuseBusy(failure, device, found->pid, "it holds the lock file " + path);
          return nullptr;
        }
        if (!RemoveStale(path, *found)) break;  // not ours to remove: go on without a lock file
        continue;
      }
      const Made made = MakeLock(lockFolder, path, claim.lockDevice, claim.lockInode);
      if (made == Made::kMade) claim.lockFile = path;
      if (made == Made::kCannot) {
        WarnNoLockFile(lockFolder, errno);
        break;
      }
    }
  }

  claim.fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (claim.fd < 0) {
    const int error = errno;
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
  if (::tcgetattr(claim.fd, &tio) != 0) {
    Refuse(failure, kErrInvalidPortNumber, device + " is a device but no terminal, so not a serial port");
    return nullptr;
  }

  int locked = 0;
  do {
    locked = ::flock(claim.fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0 && errno == EWOULDBLOCK) {
    struct stat opened {};
    const pid_t holder = ::fstat(claim.fd, &opened) == 0 ? FlockHolder(opened.st_dev, opened.st_ino) : 0;
    RefuseBusy(failure, device, holder, "it holds flock() on the port");
    return nullptr;
  }
  // Any other failure of flock() (a driver without it) leaves the lock file
  // as the only mark.

  auto lock = std::unique_ptr<PortLock>(
      new PortLock(device, claim.fd, claim.lockFile, claim.lockDevice, claim.lockInode));
  claim.fd = -1;
  claim.lockFile.clear();
  return lock;
}

PortLock::PortLock(std::string device, int fd, std::string lockFile, dev_t lockDevice, ino_t lockInode)
    : device_(std::move(device)),
      fd_(fd),
      lockFile_(std::move(lockFile)),
      lockDevice_(lockDevice),
      lockInode_(lockInode) {
  if (!lockFile_.empty()) Hold(lockFile_, lockDevice_, lockInode_);
}

PortLock::~PortLock() {
  // The lock file first: while it is there, flock() still holds.
  if (!lockFile_.empty()) {
    Release(lockFile_);
    RemoveIfOurs(lockFile_.c_str(), lockDevice_, lockInode_);
  }
  ::close(fd_);  // releases flock()
}

namespace {

// The number N of /dev/pts/N for the device `rdev`; -1 for a device that is
// no pseudo-terminal's slave side (their majors are 136 to 143).
long PtyIndex(dev_t rdev) {
  const unsigned major = ::major(rdev);
  return major >= 136 && major <= 143 ? static_cast<long>((major - 136) * 256 + ::minor(rdev)) : -1;
}

// Whether the process holds the master side of pseudo-terminal `index`: it is
// the far end of that line (a simulated device, say), not a program using it.
bool HoldsMasterOf(const std::filesystem::path& process, long index) {
  std::error_code unreadable;
  for (const auto& fd : std::filesystem::directory_iterator(process / "fd", unreadable)) {
    std::error_code noLink;
    const std::filesystem::path target = std::filesystem::read_symlink(fd.path(), noLink);
    if (noLink || target.filename() != "ptmx") continue;
    std::ifstream info(process / "fdinfo" / fd.path().filename());
    for (std::string line; std::getline(info, line);) {
      if (line.starts_with("tty-index:") && std::strtol(line.c_str() + 10, nullptr, 10) == index) return true;
    }
  }
  return false;
}

}  // namespace

PortHolder FindPortHolder(const std::string& device, const std::string& lockFolder) {
  const std::string real = RealPath(device);
  for (const std::string& name : LockNames(real)) {
    const std::optional<FoundLock> found = LookAt(lockFolder + "/" + name);
    if (found && found->held && found->pid > 0 && found->pid != ::getpid())
      return {static_cast<int>(found->pid), ProgramOf(found->pid)};
  }
  struct stat wanted {};
  if (::stat(real.c_str(), &wanted) != 0 || !S_ISCHR(wanted.st_mode)) return {};
  const long ptyIndex = PtyIndex(wanted.st_rdev);
  const std::string self = std::to_string(::getpid());
  std::error_code error;
  for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = process.path().filename().string();
    if (name == self || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code unreadable;
    for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", unreadable)) {
      struct stat open {};
      if (::stat(fd.path().c_str(), &open) != 0 || !S_ISCHR(open.st_mode) || open.st_rdev != wanted.st_rdev)
        continue;
      if (ptyIndex >= 0 && HoldsMasterOf(process.path(), ptyIndex)) break;
      const pid_t pid = std::stoi(name);
      return {static_cast<int>(pid), ProgramOf(pid)};
    }
  }
  return {};
}

bool PortLock::StillThere() const {
  struct stat path {};
  struct stat held {};
  return ::stat(device_.c_str(), &path) == 0 && ::fstat(fd_, &held) == 0 && S_ISCHR(path.st_mode) &&
         path.st_rdev == held.st_rdev;
}

std::string PortLock::AccessPath() const {
  return "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(fd_);
}

}  // namespace kbx
