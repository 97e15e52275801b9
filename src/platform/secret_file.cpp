#include "platform/secret_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kbx {

std::optional<SecretLine> ReadSecretLine(const std::string& path, std::string& error) {
  // Without blocking: a FIFO with no writer is no reason to hang.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    error = strerrordesc_np(errno);
    return std::nullopt;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    error = S_ISDIR(info.st_mode) ? "Is a directory" : "not a regular file";
    ::close(fd);
    return std::nullopt;
  }
  std::string content;
  char buffer[256];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = strerrordesc_np(errno);
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0 || content.size() > 4096) break;
    content.append(buffer, static_cast<std::size_t>(n));
    if (content.find('\n') != std::string::npos) break;
  }
  ::close(fd);
  SecretLine line;
  line.text = content.substr(0, content.find('\n'));
  if (!line.text.empty() && line.text.back() == '\r') line.text.pop_back();
  line.mode = info.st_mode & 07777;
  line.readableByOthers = (info.st_mode & (S_IRGRP | S_IROTH)) != 0;
  return line;
}

}  // namespace kbx
