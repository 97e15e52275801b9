#pragma once

#include <array>
#include <ostream>
#include <streambuf>
#include <string>

namespace kbx {

// An output stream buffer over a file descriptor that remembers why a write
// failed: a reader gone (EPIPE), a full disk, a closed descriptor. After the
// first failure the stream goes bad and nothing more is attempted.
class DescriptorOutput : public std::streambuf {
 public:
  explicit DescriptorOutput(int fd) : fd_(fd) { setp(buffer_.data(), buffer_.data() + buffer_.size()); }
  ~DescriptorOutput() override { sync(); }

  bool Failed() const { return error_ != 0; }
  // The system's words for the first failure ("Broken pipe"); empty for none.
  std::string ErrorText() const;

 protected:
  int_type overflow(int_type c) override;
  int sync() override;

 private:
  bool Drain();

  int fd_;
  int error_ = 0;
  std::array<char, 4096> buffer_{};
};

// A file the program writes (the trace): created or emptied, opened without
// waiting for a reader (a FIFO that has none is an error, not a hang), closed
// at the end. Its stream remembers why a write failed, as above.
class OutputFile {
 public:
  // Throws std::runtime_error with the system's reason, in English.
  explicit OutputFile(const std::string& path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  std::ostream& Stream() { return stream_; }

 private:
  int fd_;
  DescriptorOutput buffer_;
  std::ostream stream_;
};

}  // namespace kbx
