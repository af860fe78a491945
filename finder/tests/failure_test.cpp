#include "finder/src/lib/failure.hpp"

#include <errno.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "platform/os_error.hpp"
#include "platform/path_text.hpp"

namespace ostrevane {
namespace {

// The message with "{contact}" standing for the support contact line.
std::string with_contact(std::string text) {
  const std::string placeholder = "{contact}";
  if (const auto at = text.find(placeholder); at != std::string::npos) {
    text.replace(at, placeholder.size(), SUPPORT_CONTACT);
  }
  return text;
}

struct MessageCase {
  FailureKind failure;
  std::string code;
  std::string message;
};

void PrintTo(const MessageCase& c, std::ostream* os) {
  *os << c.code;
}

class FailureMessageTest : public testing::TestWithParam<MessageCase> {};

TEST_P(FailureMessageTest, CodeDetailAndMessage) {
  const FailureKind& failure = GetParam().failure;
  EXPECT_EQ(failure_code(failure), GetParam().code);
  EXPECT_EQ(failure_detail(failure), failure.detail);
  EXPECT_EQ(failure_message(failure), with_contact(GetParam().message));
}

TEST_P(FailureMessageTest, MessageIgnoresTheDetail) {
  FailureKind other = GetParam().failure;
  other.detail = "a completely different detail";
  EXPECT_EQ(failure_message(other), failure_message(GetParam().failure));
  EXPECT_EQ(failure_message(other).find(other.detail), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    AllKinds, FailureMessageTest,
    testing::Values(
        MessageCase{FailureKind::no_box(), "no_box",
                    "Aucun boîtier Ostrevane n'a répondu sur ce réseau.\n\nVérifiez que cet "
                    "ordinateur est relié au réseau du cabinet (câble ou Wi-Fi du cabinet, pas un "
                    "Wi-Fi invité) et que le boîtier est allumé, puis réessayez."},
        MessageCase{FailureKind::two_boxes(), "two_boxes",
                    "Deux boîtiers Ostrevane ont répondu sur ce réseau. Il ne doit y en avoir "
                    "qu'un : rien n'a été installé.\n\nContactez Ostrevane : {contact}."},
        MessageCase{FailureKind::not_genuine("a"), "not_genuine",
                    "L'appareil qui a répondu n'est pas un boîtier Ostrevane authentique. Rien n'a "
                    "été installé.\n\nContactez Ostrevane : {contact}."},
        MessageCase{FailureKind::not_answering("b"), "not_answering",
                    "Le boîtier Ostrevane a été trouvé sur ce réseau, mais il ne répond pas. Il "
                    "est peut-être en train de démarrer : patientez une minute, puis "
                    "réessayez.\n\nSi cela continue, contactez Ostrevane : {contact}."},
        MessageCase{FailureKind::box_error("c"), "box_error",
                    "Le boîtier a répondu par une erreur. Rien n'a été installé.\n\nRéessayez ; si "
                    "cela se reproduit, contactez Ostrevane : {contact}."},
        MessageCase{FailureKind::no_installer("d"), "no_installer",
                    "Le boîtier ne propose pas d'installation valide. Rien n'a été "
                    "installé.\n\nContactez Ostrevane : {contact}."},
        MessageCase{FailureKind::download("e"), "download",
                    "Le téléchargement depuis le boîtier a été interrompu. Vérifiez que cet "
                    "ordinateur reste relié au réseau du cabinet, puis réessayez."},
        MessageCase{FailureKind::install("f"), "install",
                    "L'installation n'a pas abouti. Réessayez ; si cela se reproduit, contactez "
                    "Ostrevane : {contact}."}),
    [](const testing::TestParamInfo<MessageCase>& info) { return info.param.code; });

TEST(FailureTest, KindsWithoutDetailGiveTheEmptyText) {
  EXPECT_EQ(failure_detail(FailureKind::no_box()), "");
  EXPECT_EQ(failure_detail(FailureKind::two_boxes()), "");
  EXPECT_EQ(failure_detail(FailureKind::install("the installer ended with 3")),
            "the installer ended with 3");
}

TEST(FailureTest, ContactIsOneLineWithoutFullStop) {
  EXPECT_FALSE(SUPPORT_CONTACT.empty());
  EXPECT_EQ(SUPPORT_CONTACT.find('\n'), std::string_view::npos);
  EXPECT_NE(SUPPORT_CONTACT.back(), '.');
}

TEST(ReportIoErrorTest, SuccessPassesThrough) {
  EXPECT_TRUE(report_io_error("/tmp/ostrevane", std::error_code()).has_value());
}

TEST(ReportIoErrorTest, ErrorBecomesDownloadWithPathAndOsError) {
  const std::error_code missing(ENOENT, std::system_category());
  const auto result = report_io_error("/tmp/ostrevane/work", missing);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(),
            FailureKind::download("/tmp/ostrevane/work: " + platform::error_code_text(missing)));
  EXPECT_NE(result.error().detail.find("(os error 2)"), std::string::npos);
}

TEST(ReportIoErrorTest, IllFormedPathBytesAreReplaced) {
  const std::error_code denied = std::make_error_code(std::errc::permission_denied);
  const auto result =
      report_io_error(platform::path_from_utf8("/tmp/caf\xE9/work\xE2\x82"), denied);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().detail,
            "/tmp/caf\xEF\xBF\xBD/work\xEF\xBF\xBD: " + platform::error_code_text(denied));
}

}  // namespace
}  // namespace ostrevane
