#include "platform/temp_folder.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ostrevane::platform {
namespace {

std::error_code errno_code(int code) {
  return {code, std::system_category()};
}

// Checks the folder open as `fd`, and gives a folder just made by us its mode
// whatever the umask took away.
std::error_code check_folder(int fd, bool created) {
  struct stat info;
  if (fstat(fd, &info) != 0) {
    return errno_code(errno);
  }
  if (!S_ISDIR(info.st_mode)) {
    return errno_code(ENOTDIR);
  }
  if (info.st_uid != geteuid()) {
    return errno_code(EPERM);
  }
  if (created && (info.st_mode & 07777) != 0700 && fchmod(fd, 0700) != 0) {
    return errno_code(errno);
  }
  if (!created && (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return errno_code(EPERM);
  }
  return {};
}

}  // namespace

std::expected<std::filesystem::path, std::error_code> user_temp_folder() {
  std::error_code error;
  std::filesystem::path folder = std::filesystem::temp_directory_path(error);
  if (error) {
    return std::unexpected(error);
  }
  return folder;
}

// Every user shares /tmp, and the folder of one user is refused to all the
// others: the name tells whose it is.
std::string working_folder_name() {
  return "ostrevane-setup-" + std::to_string(geteuid());
}

// /tmp is shared by every user, unlike a Windows user's temporary folder: a
// folder there that another user can write to would let them swap a verified
// file before it runs.
std::error_code create_private_folder(const std::filesystem::path& folder) {
  const std::filesystem::path target = folder.has_filename() ? folder : folder.parent_path();
  if (target.empty()) {
    return errno_code(ENOENT);
  }
  if (target.has_parent_path()) {
    std::error_code error;
    std::filesystem::create_directories(target.parent_path(), error);
    if (error) {
      return error;
    }
  }
  const bool created = mkdir(target.c_str(), 0700) == 0;
  if (!created && errno != EEXIST) {
    return errno_code(errno);
  }
  const int fd = open(target.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    // A link to a folder fails as "not a directory"; name it for what it is.
    const int cause = errno;
    struct stat info;
    if (cause == ENOTDIR && lstat(target.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
      return errno_code(ELOOP);
    }
    return errno_code(cause);
  }
  const std::error_code error = check_folder(fd, created);
  close(fd);
  return error;
}

}  // namespace ostrevane::platform
