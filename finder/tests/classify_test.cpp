#include "finder/src/lib/classify.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace ostrevane {
namespace {

struct ClassifyCase {
  std::string name;
  FetchError error;
  FailureKind expected;
};

void PrintTo(const ClassifyCase& c, std::ostream* os) {
  *os << c.name;
}

class ClassifyFetchErrorTest : public testing::TestWithParam<ClassifyCase> {};

TEST_P(ClassifyFetchErrorTest, KindAndDetail) {
  EXPECT_EQ(classify_fetch_error(GetParam().error), GetParam().expected);
}

const std::string kLongPrefix(150, 'x');

INSTANTIATE_TEST_SUITE_P(
    Cases, ClassifyFetchErrorTest,
    testing::Values(
        ClassifyCase{"UnreachableDeadline", Unreachable{"no answer within 8 s"},
                     FailureKind::not_answering("the box is unreachable: no answer within 8 s")},
        ClassifyCase{
            "UnreachableHoldingHttp", Unreachable{"/desktop/a.exe: HTTP 503"},
            FailureKind::not_answering("the box is unreachable: /desktop/a.exe: HTTP 503")},
        ClassifyCase{"MessageWithStatus", Message{"/desktop/a.exe: HTTP 404"},
                     FailureKind::box_error("/desktop/a.exe: HTTP 404")},
        ClassifyCase{"MessageOfTheSequenceAlone", Message{": HTTP "},
                     FailureKind::box_error(": HTTP ")},
        ClassifyCase{"SequenceAfterAHundredCharacters", Message{kLongPrefix + ": HTTP 500"},
                     FailureKind::box_error(kLongPrefix + ": HTTP 500")},
        ClassifyCase{"NoTrailingSpace", Message{"/desktop/a.exe: HTTP"},
                     FailureKind::download("/desktop/a.exe: HTTP")},
        ClassifyCase{"LowerCase", Message{"/desktop/a.exe: http 404"},
                     FailureKind::download("/desktop/a.exe: http 404")},
        ClassifyCase{"NoSpaceAfterColon", Message{"a:HTTP 404"},
                     FailureKind::download("a:HTTP 404")},
        ClassifyCase{"Stalled", Message{"/desktop/a.exe: stalled"},
                     FailureKind::download("/desktop/a.exe: stalled")},
        ClassifyCase{"EmptyMessage", Message{""}, FailureKind::download("")},
        ClassifyCase{"DiskHoldingHttp", Disk{"x: HTTP 404"},
                     FailureKind::download("disk: x: HTTP 404")},
        ClassifyCase{"DigestMismatch", DigestMismatch{std::string(64, 'a'), std::string(64, 'B')},
                     FailureKind::download("sha256 " + std::string(64, 'a') +
                                           ", the manifest says " + std::string(64, 'B'))},
        ClassifyCase{"DigestMismatchHoldingHttp", DigestMismatch{"c: HTTP 1", "e: HTTP 2"},
                     FailureKind::download("sha256 c: HTTP 1, the manifest says e: HTTP 2")}),
    [](const testing::TestParamInfo<ClassifyCase>& info) { return info.param.name; });

}  // namespace
}  // namespace ostrevane
