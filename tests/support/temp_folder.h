#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace kbx {

// A folder of the test's own (for lock files, links, files in the way),
// removed with everything in it.
struct TempFolder {
  TempFolder() {
    std::string name = ::testing::TempDir() + "kbx_test_XXXXXX";
    EXPECT_NE(::mkdtemp(name.data()), nullptr);
    path = name;
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  std::string path;
};

}  // namespace kbx
