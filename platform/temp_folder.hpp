#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <system_error>

namespace ostrevane::platform {

// Returns the current user's temporary folder as the system reports it (on
// Windows GetTempPath2W where the system has it, else GetTempPathW, with its
// final backslash), or the system's error when it has none.
[[nodiscard]] std::expected<std::filesystem::path, std::error_code> user_temp_folder();

// Returns the name of the program's working folder inside the user's
// temporary folder: one path component, which carries the user's id where
// that folder is shared by all users.
[[nodiscard]] std::string working_folder_name();

// Makes `folder` a folder that only the current user can change: creates it,
// with any missing parents, the folder itself for the user alone. Here (a
// shared temporary folder) an existing one is accepted only when it is a
// directory (not a link), owned by the user and not writable by anyone else;
// on Windows, whose temporary folder is the user's own, any directory is.
// Returns the error that refused it: ENOTDIR (ERROR_DIRECTORY on Windows:
// something else in its place), ELOOP (a link), EPERM (another owner or open
// to others), or the system's error of a failed creation.
[[nodiscard]] std::error_code create_private_folder(const std::filesystem::path& folder);

}  // namespace ostrevane::platform
