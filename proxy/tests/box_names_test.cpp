#include "proxy/src/discover/box_names.hpp"

#include <gtest/gtest.h>

#include <string>

namespace ostrevane {
namespace {

struct SlugCase {
  std::string text;
  bool ok;
};

class ClinicSlugTest : public testing::TestWithParam<SlugCase> {};

TEST_P(ClinicSlugTest, Judges) {
  EXPECT_EQ(is_clinic_slug(GetParam().text), GetParam().ok);
}

INSTANTIATE_TEST_SUITE_P(Cases, ClinicSlugTest,
                         testing::Values(SlugCase{"a", true}, SlugCase{std::string(63, 'x'), true},
                                         SlugCase{"", false}, SlugCase{std::string(64, 'x'), false},
                                         SlugCase{"-abc", false}, SlugCase{"abc-", false},
                                         SlugCase{"-", false}, SlugCase{"cab--inet", true},
                                         SlugCase{"0123", true}, SlugCase{"Cabinet", false},
                                         SlugCase{"cab.inet", false}, SlugCase{"cab_inet", false},
                                         SlugCase{"cab inet", false},
                                         SlugCase{"caf\xC3\xA9", false}));

TEST(EditionTest, OnlyTheExactSlugs) {
  EXPECT_TRUE(is_known_edition("lunel"));
  EXPECT_TRUE(is_known_edition("corvene"));
  EXPECT_TRUE(is_known_edition("brastel"));
  EXPECT_FALSE(is_known_edition("Lunel"));
  EXPECT_FALSE(is_known_edition(" lunel"));
  EXPECT_FALSE(is_known_edition("lunel "));
  EXPECT_FALSE(is_known_edition(""));
}

TEST(EditionTest, DisplayNames) {
  EXPECT_EQ(edition_display_name("lunel"), "Lunel");
  EXPECT_EQ(edition_display_name("brastel"), "Brastel");
  EXPECT_EQ(edition_display_name("corvene"), "Corvene");
}

TEST(BoxHostNamesTest, FormsTheFourNames) {
  auto hosts = box_host_names("a", "brastel");
  ASSERT_TRUE(hosts.has_value());
  const std::string tail = std::string(".a.brastel.") + std::string(BOX_DOMAIN);
  EXPECT_EQ(hosts->app, "app" + tail);
  EXPECT_EQ(hosts->api, "api" + tail);
  EXPECT_EQ(hosts->supabase, "supabase" + tail);
  EXPECT_EQ(hosts->console, "console" + tail);
}

TEST(BoxHostNamesTest, ReportsTheSlugFirst) {
  EXPECT_EQ(box_host_names("Bad", "nope").error(), "\"Bad\" is not a clinic slug");
  EXPECT_EQ(box_host_names("good", "Lunel").error(), "\"Lunel\" is not a product");
}

}  // namespace
}  // namespace ostrevane
