#include "platform/descriptor_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kbx {

std::string DescriptorOutput::ErrorText() const {
  return error_ ? std::strerror(error_) : "";
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

}  // namespace kbx
