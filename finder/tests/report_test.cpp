#include "finder/src/main/report.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "testsupport/files.hpp"
#include "testsupport/scratch_dir.hpp"

namespace ostrevane {
namespace {

TEST(ReportTest, SuccessHasThreeMembersInByteOrder) {
  EXPECT_EQ(success_report("/tmp/ostrevane-setup/Ostrevane-Setup-4.2.0.exe", false),
            R"({"installer":"Ostrevane-Setup-4.2.0.exe","ok":true,"webview2":false})");
  EXPECT_EQ(success_report("/tmp/ostrevane-setup/x.exe", true),
            R"({"installer":"x.exe","ok":true,"webview2":true})");
}

TEST(ReportTest, SuccessWithoutFileNameWritesNull) {
  EXPECT_EQ(success_report("/tmp/ostrevane-setup/", false),
            R"({"installer":null,"ok":true,"webview2":false})");
}

TEST(ReportTest, NoBoxHasAnEmptyDetailAndTheFrenchMessageUnescaped) {
  const std::string report = failure_report(FailureKind::no_box());
  EXPECT_EQ(report,
            "{\"code\":\"no_box\",\"detail\":\"\",\"message\":\"Aucun boîtier Ostrevane n'a "
            "répondu sur ce réseau.\\n\\nVérifiez que cet ordinateur est relié au réseau du "
            "cabinet (câble ou Wi-Fi du cabinet, pas un Wi-Fi invité) et que le boîtier est "
            "allumé, puis réessayez.\",\"ok\":false}");
}

TEST(ReportTest, DetailIsEscaped) {
  const std::string report = failure_report(FailureKind::download("a \"quoted\" \\ path\t"));
  EXPECT_NE(report.find(R"("detail":"a \"quoted\" \\ path\t")"), std::string::npos) << report;
  EXPECT_TRUE(report.starts_with(R"({"code":"download","detail":)"));
  EXPECT_TRUE(report.ends_with(R"(,"ok":false})"));
}

TEST(ReportTest, BuildHasNoMessage) {
  EXPECT_EQ(build_report("no certificate in this PEM"),
            R"({"code":"build","detail":"no certificate in this PEM","ok":false})");
}

TEST(ReportTest, WriteReplacesAnExistingFileWhole) {
  test::ScratchDir dir;
  const auto path = dir.path() / "report.json";
  ASSERT_TRUE(write_report(path, std::string(1000, 'x')));
  ASSERT_TRUE(write_report(path, "{}"));
  EXPECT_EQ(test::read_file(path), "{}");
}

TEST(ReportTest, WriteIntoAMissingFolderFails) {
  test::ScratchDir dir;
  EXPECT_FALSE(write_report(dir.path() / "missing" / "report.json", "{}"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
}

}  // namespace
}  // namespace ostrevane
