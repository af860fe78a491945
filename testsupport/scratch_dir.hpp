#pragma once

#include <filesystem>

namespace ostrevane::test {

// A fresh, empty directory under the system's temporary folder, removed with
// everything in it when the object goes out of scope.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // Returns the directory's path.
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace ostrevane::test
