#include "finder/src/lib/failure.hpp"

#include "platform/os_error.hpp"
#include "platform/path_text.hpp"

namespace ostrevane {
namespace {

std::string with_contact(std::string_view text) {
  std::string message(text);
  message.append(SUPPORT_CONTACT).append(".");
  return message;
}

}  // namespace

std::string_view failure_code(const FailureKind& failure) {
  switch (failure.kind) {
    case FailureKind::Kind::NoBox:
      return "no_box";
    case FailureKind::Kind::TwoBoxes:
      return "two_boxes";
    case FailureKind::Kind::NotGenuine:
      return "not_genuine";
    case FailureKind::Kind::NotAnswering:
      return "not_answering";
    case FailureKind::Kind::BoxError:
      return "box_error";
    case FailureKind::Kind::NoInstaller:
      return "no_installer";
    case FailureKind::Kind::Download:
      return "download";
    case FailureKind::Kind::Install:
      return "install";
  }
  return "download";
}

const std::string& failure_detail(const FailureKind& failure) {
  return failure.detail;
}

std::string failure_message(const FailureKind& failure) {
  switch (failure.kind) {
    case FailureKind::Kind::NoBox:
      return "Aucun boîtier Ostrevane n'a répondu sur ce réseau.\n\n"
             "Vérifiez que cet ordinateur est relié au réseau du cabinet (câble ou Wi-Fi du "
             "cabinet, pas un Wi-Fi invité) et que le boîtier est allumé, puis réessayez.";
    case FailureKind::Kind::TwoBoxes:
      return with_contact(
          "Deux boîtiers Ostrevane ont répondu sur ce réseau. Il ne doit y en avoir qu'un : rien "
          "n'a été installé.\n\nContactez Ostrevane : ");
    case FailureKind::Kind::NotGenuine:
      return with_contact(
          "L'appareil qui a répondu n'est pas un boîtier Ostrevane authentique. Rien n'a été "
          "installé.\n\nContactez Ostrevane : ");
    case FailureKind::Kind::NotAnswering:
      return with_contact(
          "Le boîtier Ostrevane a été trouvé sur ce réseau, mais il ne répond pas. Il est "
          "peut-être en train de démarrer : patientez une minute, puis réessayez.\n\nSi cela "
          "continue, contactez Ostrevane : ");
    case FailureKind::Kind::BoxError:
      return with_contact(
          "Le boîtier a répondu par une erreur. Rien n'a été installé.\n\nRéessayez ; si cela se "
          "reproduit, contactez Ostrevane : ");
    case FailureKind::Kind::NoInstaller:
      return with_contact(
          "Le boîtier ne propose pas d'installation valide. Rien n'a été installé.\n\nContactez "
          "Ostrevane : ");
    case FailureKind::Kind::Download:
      return "Le téléchargement depuis le boîtier a été interrompu. Vérifiez que cet ordinateur "
             "reste relié au réseau du cabinet, puis réessayez.";
    case FailureKind::Kind::Install:
      return with_contact(
          "L'installation n'a pas abouti. Réessayez ; si cela se reproduit, contactez "
          "Ostrevane : ");
  }
  return {};
}

std::expected<void, FailureKind> report_io_error(const std::filesystem::path& path,
                                                 std::error_code error) {
  if (!error) {
    return {};
  }
  return std::unexpected(FailureKind::download(platform::path_display(path) + ": " +
                                               platform::error_code_text(error)));
}

}  // namespace ostrevane
