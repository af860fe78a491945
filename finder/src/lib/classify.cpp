#include "finder/src/lib/classify.hpp"

namespace ostrevane {

FailureKind classify_fetch_error(FetchError error) {
  std::string detail = fetch_error_display(error);
  if (std::holds_alternative<Unreachable>(error)) {
    return FailureKind::not_answering(std::move(detail));
  }
  if (const auto* message = std::get_if<Message>(&error);
      message != nullptr && message->text.find(": HTTP ") != std::string::npos) {
    return FailureKind::box_error(std::move(detail));
  }
  return FailureKind::download(std::move(detail));
}

}  // namespace ostrevane
