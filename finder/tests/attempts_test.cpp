#include "finder/src/main/attempts.hpp"

#include <gtest/gtest.h>

namespace ostrevane {
namespace {

struct PresentationCase {
  FailureKind failure;
  std::string_view title;
  bool error_icon;
  bool offer_retry;
};

class PresentFailureTest : public testing::TestWithParam<PresentationCase> {};

TEST_P(PresentFailureTest, ChoosesTitleIconAndRetry) {
  const auto& c = GetParam();
  const FailurePresentation shown = present_failure(c.failure);
  EXPECT_EQ(shown.title, c.title);
  EXPECT_EQ(shown.error_icon, c.error_icon);
  EXPECT_EQ(shown.offer_retry, c.offer_retry);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PresentFailureTest,
    testing::Values(
        PresentationCase{FailureKind::no_box(), "Boîtier introuvable", false, true},
        PresentationCase{FailureKind::two_boxes(), "Installation impossible", true, false},
        PresentationCase{FailureKind::not_genuine("x"), "Installation impossible", true, false},
        PresentationCase{FailureKind::not_answering("x"), "Installation impossible", true, true},
        PresentationCase{FailureKind::box_error("x"), "Installation impossible", true, true},
        PresentationCase{FailureKind::no_installer("x"), "Installation impossible", true, false},
        PresentationCase{FailureKind::download("x"), "Installation impossible", true, true},
        PresentationCase{FailureKind::install("x"), "Installation impossible", true, true}));

}  // namespace
}  // namespace ostrevane
