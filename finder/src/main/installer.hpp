#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>

#include "finder/src/lib/failure.hpp"

namespace ostrevane {

// Returns "exit code: N": decimal, or lower-case hexadecimal with "0x" when
// the code's top bit is set (an NTSTATUS-like code reads better so).
std::string describe_exit_code(std::uint32_t code);

// Runs the installer at `path` with "/S" "/R" and waits for it without limit.
// The file is deleted after any exit code and kept when it cannot be started
// or waited for. Returns success for exit code 0, else the install failure.
[[nodiscard]] std::expected<void, FailureKind> run_installer(const std::filesystem::path& path);

}  // namespace ostrevane
