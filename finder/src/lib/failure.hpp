#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace ostrevane {

// The one outcome of a failed attempt. no_box and two_boxes carry an empty
// detail; every other kind carries an English detail text.
struct FailureKind {
  enum class Kind {
    NoBox,
    TwoBoxes,
    NotGenuine,
    NotAnswering,
    BoxError,
    NoInstaller,
    Download,
    Install,
  };

  Kind kind;
  std::string detail;

  static FailureKind no_box() { return {Kind::NoBox, {}}; }
  static FailureKind two_boxes() { return {Kind::TwoBoxes, {}}; }
  static FailureKind not_genuine(std::string d) { return {Kind::NotGenuine, std::move(d)}; }
  static FailureKind not_answering(std::string d) { return {Kind::NotAnswering, std::move(d)}; }
  static FailureKind box_error(std::string d) { return {Kind::BoxError, std::move(d)}; }
  static FailureKind no_installer(std::string d) { return {Kind::NoInstaller, std::move(d)}; }
  static FailureKind download(std::string d) { return {Kind::Download, std::move(d)}; }
  static FailureKind install(std::string d) { return {Kind::Install, std::move(d)}; }

  bool operator==(const FailureKind&) const = default;
};

// The support contact line of the French messages.
inline constexpr std::string_view SUPPORT_CONTACT = "support@ostrevane.fr";

// Returns the kind's code name: "no_box", "two_boxes", "not_genuine",
// "not_answering", "box_error", "no_installer", "download" or "install".
std::string_view failure_code(const FailureKind& failure);

// Returns the kind's detail text; empty for no_box and two_boxes.
const std::string& failure_detail(const FailureKind& failure);

// Returns the kind's French message, the same for every failure of one kind.
std::string failure_message(const FailureKind& failure);

// Returns success unchanged, or the failure download whose detail is the path,
// ": " and the error's display text ("... (os error N)").
[[nodiscard]] std::expected<void, FailureKind> report_io_error(const std::filesystem::path& path,
                                                               std::error_code error);

}  // namespace ostrevane
