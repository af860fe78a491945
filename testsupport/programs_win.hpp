#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace ostrevane::test {

// Returns the path of the program `name` (such as "ostrevane-test-child.exe")
// that the build puts beside the test executables.
std::filesystem::path test_program(std::string_view name);

// Starts `program` with exactly `command_line` as its command line (the
// environment inherited), waits for it and returns its exit code. Throws
// std::system_error when it cannot be started or waited for.
std::uint32_t run_program(const std::filesystem::path& program, std::wstring command_line);

// Runs the system's reg.exe with `arguments` after its name ("add HKCU\\..."),
// and returns its exit code.
std::uint32_t run_reg(const std::wstring& arguments);

// Imports `lines` of a registry file (after its header: keys in brackets,
// "[-KEY]" to delete one, values below them) with regedit /S, written as
// regedit reads them (UTF-16LE); throws std::system_error when regedit fails.
void import_registry(std::string_view lines);

// Copies ostrevane-test-child.exe to `file`, creating its folder.
void copy_test_child(const std::filesystem::path& file);

// What ostrevane-test-child.exe recorded in the file `record`.
struct ChildRecord {
  std::string command_line;  // GetCommandLineW, raw
  std::string module_path;   // GetModuleFileNameW
  std::string current_folder;
  std::vector<std::string> arguments;  // what program_arguments() gave
};

// Returns the record that ostrevane-test-child.exe wrote to `record`; throws
// std::runtime_error when there is none.
ChildRecord read_child_record(const std::filesystem::path& record);

}  // namespace ostrevane::test
