#include "platform/descriptor_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace kbx {

std::string DescriptorOutput::ErrorText() const {
  // In English, as every other message of the program, whatever the locale.
  return error_ ? ::strerrordesc_np(error_) : "";
}

bool DescriptorOutput::Drain() {
  const char* next = pbase();
  while (!error_ && next < pptr()) {
    const ssize_t n = ::write(fd_, next, static_cast<std::size_t>(pptr() - next));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n < 0 ? errno : EIO;
      break;
    }
    next += n;
  }
  setp(buffer_.data(), buffer_.data() + buffer_.size());
  return !error_;
}

DescriptorOutput::int_type DescriptorOutput::overflow(int_type c) {
  if (!Drain()) return traits_type::eof();
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
  }
  return traits_type::not_eof(c);
}

int DescriptorOutput::sync() {
  return Drain() ? 0 : -1;
}

namespace {

int OpenForWriting(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) {
    throw std::runtime_error(errno == ENXIO ? std::string("a FIFO that nobody reads")
                                            : std::string(::strerrordesc_np(errno)));
  }
  // Writes wait as they do on any file once it is open.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

}  // namespace

OutputFile::OutputFile(const std::string& path)
    : fd_(OpenForWriting(path)), buffer_(fd_), stream_(&buffer_) {}

OutputFile::~OutputFile() {
  stream_.flush();
  ::close(fd_);
}

}  // namespace kbx
