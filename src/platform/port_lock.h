#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "platform/run_time_error.h"

namespace kbx {

// The folder of the serial ports' lock files: $KBX_LOCK_DIR when it is set
// and not empty, else /run/lock, else /var/lock, else /run/lock even though it
// does not exist (opening a port then says once that it has no lock file).
std::string DefaultLockFolder();

// The program that holds a serial device now, as far as the lock files and
// the processes' open files tell.
struct PortHolder {
  int pid = 0;          // 0: none is seen
  std::string program;  // its name as the system knows it (/proc/PID/comm); may be empty
};

// Who else holds `device` now, without opening it: a live process that a
// lock file of it in `lockFolder` names, else a process that has it open.
// This process does not count, nor, for a pseudo-terminal, the process at its
// other end (that holds its master side too).
PortHolder FindPortHolder(const std::string& device, const std::string& lockFolder);

// Removes the lock files this process holds now, if they are still ours.
// Safe in a signal handler: for an end that runs no destructors.
void RemoveHeldLockFiles();

// A serial device opened by this program and marked as ours, the way other
// serial programs mark theirs and look for each other's marks:
// - a UUCP lock file LCK..NAME in the lock folder (NAME: the base name of the
//   device behind any symbolic links) that holds our pid as "%10d\n", created
//   whole or not at all, and removed again only while it is still ours;
// - flock(LOCK_EX) on the device.
// The device is held by another program when a lock file of that name (or the
// one a Qt program takes, LCK..pts_5 for /dev/pts/5) names a live process
// (ASCII pid or a 4-byte binary one), or when another open file holds flock()
// on it. A lock file naming a dead process is stale and taken over. Where the
// lock folder does not let us write, or does not exist, the device is opened
// without a lock file, and stderr says so once in the life of the process.
// The lock file also goes when the process ends by exit() or by a second
// stop signal (RemoveHeldLockFiles).
class PortLock {
 public:
  // Opens `device` for reading and writing (no controlling terminal, no
  // waiting for a carrier) and claims it. When it cannot be used, returns
  // nothing and says why in `failure`: 8002 for a path that names no serial
  // port (nothing there, a file, a folder, a pipe, a device that is no
  // terminal), 8005 for a device held by another program, 8012 for any other
  // reason (no permission, above all).
  static std::unique_ptr<PortLock> Take(const std::string& device, const std::string& lockFolder,
                                        PortFailure& failure);

  // Releases flock(), closes the descriptor and removes the lock file if it
  // is still ours.
  ~PortLock();
  PortLock(const PortLock&) = delete;
  PortLock& operator=(const PortLock&) = delete;

  // The device as it was given to Take.
  const std::string& Device() const { return device_; }
  // Whether that path still leads to the device held (not when it has
  // vanished, or another device has taken its name).
  bool StillThere() const;
  // A path that reaches the very device this object holds open, whatever
  // bytes its own path has: "/proc/PID/fd/N".
  std::string AccessPath() const;
  // The lock file this object holds; "" when none could be made.
  const std::string& LockFile() const { return lockFile_; }

 private:
  PortLock(std::string device, int fd, std::string lockFile, dev_t lockDevice, ino_t lockInode);

  std::string device_;
  int fd_;
  std::string lockFile_;
  dev_t lockDevice_;
  ino_t lockInode_;
};

}  // namespace kbx
