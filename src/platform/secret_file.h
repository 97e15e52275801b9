#pragma once

#include <optional>
#include <string>

namespace kbx {

// The first line of a small file that holds a secret, and whether users
// other than its owner may read it.
struct SecretLine {
  std::string text;       // without its line end
  bool readableByOthers;  // the file's group or everybody may read it
  unsigned mode;          // its permission bits, for the warning
};

// Reads the first line of `path`; nullopt and the system's reason (in
// English) in `error` when the file cannot be read.
std::optional<SecretLine> ReadSecretLine(const std::string& path, std::string& error);

}  // namespace kbx
