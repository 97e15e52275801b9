#pragma once

// Every test program keeps the ports' lock files in a folder of its own, never
// in the system's: KBX_LOCK_DIR names it for the tests and the programs they
// start. Whatever is left in it when the tests end is a failure. Likewise
// XDG_CONFIG_HOME names a folder of the tests' own, so that no COM file of
// the user's is read or written.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "support/temp_folder.h"

namespace kbx::test {

class LockFolderEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    folder_ = std::make_unique<TempFolder>();
    ::setenv("KBX_LOCK_DIR", folder_->path.c_str(), 1);
    config_ = std::make_unique<TempFolder>();
    ::setenv("XDG_CONFIG_HOME", config_->path.c_str(), 1);
  }
  void TearDown() override {
    for (const auto& entry : std::filesystem::directory_iterator(folder_->path))
      ADD_FAILURE() << "left behind in the lock folder: " << entry.path().filename();
    folder_.reset();
    config_.reset();
  }

 private:
  std::unique_ptr<TempFolder> folder_;
  std::unique_ptr<TempFolder> config_;
};

inline void KeepLockFilesApart() {
  ::testing::AddGlobalTestEnvironment(new LockFolderEnvironment);
}

}  // namespace kbx::test
