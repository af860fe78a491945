#include "testsupport/scratch_dir.hpp"

#include <random>
#include <string>
#include <system_error>

namespace ostrevane::test {

ScratchDir::ScratchDir() {
  const std::filesystem::path temp = std::filesystem::temp_directory_path();
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int tries = 0; tries < 100; ++tries) {
    std::filesystem::path candidate = temp / ("ostrevane-test-" + std::to_string(random()));
    std::error_code error;
    // Only a folder that this call made is ours.
    if (std::filesystem::create_directory(candidate, error)) {
      std::filesystem::permissions(candidate, std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::replace, error);
      path_ = std::move(candidate);
      return;
    }
    if (error) {
      throw std::system_error(error, "create_directory");
    }
  }
  throw std::system_error(std::make_error_code(std::errc::file_exists), "ScratchDir");
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace ostrevane::test
