#include "finder/src/lib/manifest.hpp"

#include <gtest/gtest.h>

#include <string>

namespace ostrevane {
namespace {

const std::string kA(64, 'a');
const std::string kB(64, 'b');
const std::string kC(64, 'c');

// One line, so that a column is a byte offset plus one.
const std::string kGood = R"({"version":1,"product":"lunel","release":"2025.06",)"
                          R"("bundle":{"file":"bundle.zip","sha256":")" +
                          kA + R"(","size":1234},)" +
                          R"("shell":{"version":"1.4.0","minimum":"1.2.0",)"
                          R"("installer":"Setup.exe","update":"Update.exe",)"
                          R"("sha256":{"installer":")" +
                          kB + R"(","update":")" + kC + R"("}}})";

Manifest good_manifest() {
  return Manifest{1, "lunel", "2025.06", Bundle{"bundle.zip", kA, 1234},
                  Shell{"1.4.0", "1.2.0", "Setup.exe", "Update.exe", ShellHashes{kB, kC}}};
}

// Returns `text` with the one occurrence of `from` replaced by `to`.
std::string replace(std::string text, const std::string& from, const std::string& to) {
  auto at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  EXPECT_EQ(text.find(from, at + 1), std::string::npos) << from;
  return text.replace(at, from.size(), to);
}

TEST(ParseManifest, ObjectArrayAndMixedFormsYieldTheSameManifest) {
  const std::string array_form = R"([1,"lunel","2025.06",["bundle.zip",")" + kA +
                                 R"(",1234],["1.4.0","1.2.0","Setup.exe","Update.exe",[")" + kB +
                                 R"(",")" + kC + R"("]]])";
  const std::string reordered =
      R"({"shell":{"sha256":{"update":")" + kC + R"(","installer":")" + kB +
      R"("},"update":"Update.exe","installer":"Setup.exe","minimum":"1.2.0",)"
      R"("version":"1.4.0"},"bundle":["bundle.zip",")" +
      kA + R"(",1234],"release":"2025.06","product":"lunel","version":1})";
  const std::string spaced = " \t\r\n" + kGood + "\n\r\t ";
  for (const std::string& text : {kGood, array_form, reordered, spaced}) {
    auto parsed = parse_manifest(text);
    ASSERT_TRUE(parsed) << parsed.error() << "\n" << text;
    EXPECT_EQ(*parsed, good_manifest()) << text;
  }
}

TEST(ParseManifest, IntegerLimitsAreAccepted) {
  std::string text = replace(kGood, R"("version":1)", R"("version":4294967295)");
  text = replace(text, R"("size":1234)", R"("size":18446744073709551615)");
  auto parsed = parse_manifest(text);
  ASSERT_TRUE(parsed) << parsed.error();
  EXPECT_EQ(parsed->version, 4294967295u);
  EXPECT_EQ(parsed->bundle.size, 18446744073709551615u);

  parsed = parse_manifest(replace(kGood, R"("size":1234)", R"("size":0)"));
  ASSERT_TRUE(parsed) << parsed.error();
  EXPECT_EQ(parsed->bundle.size, 0u);
}

struct ErrorCase {
  const char* name;
  std::string input;
  std::string message;
  // The parse stops right after the first occurrence of this text (the whole
  // input when empty).
  std::string stop_after;
};

std::ostream& operator<<(std::ostream& os, const ErrorCase& c) {
  return os << c.name;
}

std::string case_name(const testing::TestParamInfo<ErrorCase>& info) {
  return info.param.name;
}

class ParseManifestError : public testing::TestWithParam<ErrorCase> {};

TEST_P(ParseManifestError, NamesTheFirstProblemAndWhereTheParseStopped) {
  const ErrorCase& c = GetParam();
  std::size_t column = c.input.size();
  if (!c.stop_after.empty()) {
    auto at = c.input.find(c.stop_after);
    ASSERT_NE(at, std::string::npos) << c.stop_after;
    column = at + c.stop_after.size();
  }
  auto parsed = parse_manifest(c.input);
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error(), c.message + " at line 1 column " + std::to_string(column));
}

const std::string kManifestFieldList = "one of `version`, `product`, `release`, `bundle`, `shell`";
const std::string kHashesEnd = R"(","update":")" + kC + R"("}}})";
const std::string kHashesStart = R"("sha256":{"installer":")";

INSTANTIATE_TEST_SUITE_P(
    Schema, ParseManifestError,
    testing::Values(
        ErrorCase{"UnknownInManifest",
                  replace(kGood, R"({"version":1)", R"({"extra":1,"version":1)"),
                  "unknown field `extra`, expected " + kManifestFieldList, R"({"extra")"},
        ErrorCase{"KeysAreCaseSensitive", replace(kGood, R"({"version":1)", R"({"Version":1)"),
                  "unknown field `Version`, expected " + kManifestFieldList, R"({"Version")"},
        ErrorCase{"UnknownInBundle", replace(kGood, R"("size":1234})", R"("size":1234,"Size":1})"),
                  "unknown field `Size`, expected one of `file`, `sha256`, `size`", R"("Size")"},
        ErrorCase{"UnknownInShell", replace(kGood, R"({"version":"1.4.0")", R"({"url":0)"),
                  "unknown field `url`, expected one of `version`, `minimum`, `installer`, "
                  "`update`, `sha256`",
                  R"("url")"},
        // Reported before the value, which is not even valid JSON here.
        ErrorCase{"UnknownInShellHashesBeforeItsValue",
                  replace(kGood, kHashesEnd, R"(","update":")" + kC + R"(","extra":tru}}})"),
                  "unknown field `extra`, expected `installer` or `update`", R"("extra")"},
        ErrorCase{"DuplicateBeforeItsValue",
                  replace(kGood, R"({"version":1,)", R"({"version":1,"version":[)"),
                  "duplicate field `version`", R"("version":1,"version")"},
        ErrorCase{"MissingInBundle", replace(kGood, R"(,"sha256":")" + kA + R"(")", ""),
                  "missing field `sha256`", R"("size":1234})"},
        ErrorCase{
            "MissingNamesTheFirstInDeclaredOrder",
            replace(replace(kGood, R"("minimum":"1.2.0",)", ""), R"("update":"Update.exe",)", ""),
            "missing field `minimum`", kC + R"("}})"},
        ErrorCase{"MissingVersionAndShell",
                  R"({"product":"lunel","release":"r","bundle":["f",")" + kA + R"(",1]})",
                  "missing field `version`", ""},
        ErrorCase{"ShortArray", R"([1,"lunel","r",["f",")" + kA + R"(",1]])",
                  "invalid length 4, expected struct Manifest with 5 elements", ""},
        ErrorCase{"EmptyArray", R"({"version":1,"product":"p","release":"r","bundle":[])",
                  "invalid length 0, expected struct Bundle with 3 elements", "[]"},
        ErrorCase{"LongArray",
                  replace(kGood, R"({"file":"bundle.zip","sha256":")" + kA + R"(","size":1234})",
                          R"(["bundle.zip",")" + kA + R"(",1234,"more"])"),
                  "trailing characters", R"(1234,"more")"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Types, ParseManifestError,
    testing::Values(
        // A number is complete only once the lexer has read the byte after it.
        ErrorCase{"VersionWithFraction", replace(kGood, R"("version":1,)", R"("version":1.0,)"),
                  "invalid type: floating point `1.0`, expected u32", R"("version":1.0,)"},
        ErrorCase{"VersionWithExponent", replace(kGood, R"("version":1,)", R"("version":1e0,)"),
                  "invalid type: floating point `1.0`, expected u32", R"("version":1e0,)"},
        ErrorCase{"VersionAsString", replace(kGood, R"("version":1,)", R"("version":"1",)"),
                  "invalid type: string \"1\", expected u32", R"("version":"1")"},
        ErrorCase{"NegativeVersion", replace(kGood, R"("version":1,)", R"("version":-1,)"),
                  "invalid value: integer `-1`, expected u32", R"("version":-1,)"},
        ErrorCase{"VersionAboveU32", replace(kGood, R"("version":1,)", R"("version":4294967296,)"),
                  "invalid value: integer `4294967296`, expected u32", "4294967296,"},
        ErrorCase{
            "SizeAboveU64", replace(kGood, R"("size":1234})", R"("size":18446744073709551616})"),
            "invalid value: integer `18446744073709551616`, expected u64", "18446744073709551616}"},
        ErrorCase{"SizeBeyondEveryNumberType",
                  replace(kGood, R"("size":1234})", R"("size":1)" + std::string(400, '0') + "}"),
                  "invalid value: integer `1" + std::string(400, '0') + "`, expected u64",
                  std::string(400, '0') + "}"},
        ErrorCase{"NegativeSize", replace(kGood, R"("size":1234})", R"("size":-5})"),
                  "invalid value: integer `-5`, expected u64", "-5}"},
        ErrorCase{"SizeAsFloat", replace(kGood, R"("size":1234})", R"("size":1234.5})"),
                  "invalid type: floating point `1234.5`, expected u64", "1234.5}"},
        ErrorCase{"NullText", replace(kGood, R"("product":"lunel")", R"("product":null)"),
                  "invalid type: null, expected a string", R"("product":null)"},
        ErrorCase{"BooleanText", replace(kGood, R"("release":"2025.06")", R"("release":true)"),
                  "invalid type: boolean `true`, expected a string", R"("release":true)"},
        ErrorCase{"IntegerText", replace(kGood, R"("release":"2025.06")", R"("release":5,)"),
                  "invalid type: integer `5`, expected a string", R"("release":5,)"},
        ErrorCase{"MapForText", replace(kGood, R"("product":"lunel")", R"("product":{})"),
                  "invalid type: map, expected a string", R"("product":{)"},
        ErrorCase{"SequenceForText",
                  replace(kGood, R"("installer":"Setup.exe")", R"("installer":[])"),
                  "invalid type: sequence, expected a string", R"("installer":[)"},
        ErrorCase{"StringForRecord",
                  replace(kGood, R"("shell":{"version":"1.4.0",)",
                          R"("shell":"a\"b\\c\n",{"version":"1.4.0",)"),
                  R"(invalid type: string "a\"b\\c\n", expected struct Shell)",
                  R"("shell":"a\"b\\c\n")"},
        ErrorCase{"NullForRecord", replace(kGood, kHashesStart, R"("sha256":null,{"installer":")"),
                  "invalid type: null, expected struct ShellHashes", R"("sha256":null)"},
        ErrorCase{"IntegerAtTheTop", "5", "invalid type: integer `5`, expected struct Manifest",
                  ""},
        ErrorCase{"NullAtTheTop", " null ", "invalid type: null, expected struct Manifest",
                  "null"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Syntax, ParseManifestError,
    testing::Values(
        ErrorCase{"Empty", "", "EOF while parsing a value", ""},
        ErrorCase{"WhiteSpaceOnly", " \t\r ", "EOF while parsing a value", ""},
        ErrorCase{"CutShort", kGood.substr(0, kGood.size() - 1), "EOF while parsing an object", ""},
        ErrorCase{"CutInsideAnArray", R"([1,"lunel")", "EOF while parsing a list", ""},
        ErrorCase{"SecondValue", kGood + " {}", "trailing characters", kGood + " {"},
        ErrorCase{"TrailingText", kGood + "x", "trailing characters", kGood + "x"},
        // The library takes a NUL byte for the end of its input.
        ErrorCase{"NulAndMore", kGood + std::string("\0<html>", 7), "trailing characters",
                  kGood + std::string(1, '\0')},
        ErrorCase{"SpaceNulAndMore", kGood + std::string(" \0x", 3), "trailing characters",
                  kGood + std::string(" \0", 2)},
        ErrorCase{"NulAtTheEnd", kGood + std::string(1, '\0'), "trailing characters", ""},
        ErrorCase{"ByteOrderMark", "\xEF\xBB\xBF" + kGood, "expected value", "\xEF"},
        ErrorCase{"TrailingComma", R"({"version":1,})",
                  "syntax error while parsing object key - unexpected '}'; expected string "
                  "literal",
                  ""},
        // The library's message quotes what it read; that part is dropped, so
        // the text stays valid UTF-8 whatever the input held.
        ErrorCase{"InvalidUtf8InAString",
                  replace(kGood, R"("product":"lunel")", "\"product\":\"lu\xFFnel\""),
                  "syntax error while parsing value - invalid string: ill-formed UTF-8 byte",
                  "lu\xFF"},
        ErrorCase{"InvalidUtf8InAKey", "{\"\xC3\x28\":1}",
                  "syntax error while parsing object key - invalid string: ill-formed UTF-8 "
                  "byte; expected string literal",
                  "\xC3\x28"},
        ErrorCase{"StrayByte", "\x80", "syntax error while parsing value - invalid literal", ""}),
    case_name);

TEST(ParseManifest, PositionCountsLinesFromOne) {
  auto parsed = parse_manifest("{\n  \"version\": 1,\n  \"Product\": \"lunel\"\n}\n");
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error(),
            "unknown field `Product`, expected " + kManifestFieldList + " at line 3 column 11");
}

TEST(ParseManifest, DeepNestingStopsAtTheFirstUnexpectedLevel) {
  for (const std::string& prefix : {std::string(), std::string(R"({"product":)")}) {
    std::string text = prefix + std::string(200'000, '[');
    auto parsed = parse_manifest(text);
    ASSERT_FALSE(parsed);
    EXPECT_TRUE(parsed.error().starts_with("invalid type: sequence, expected ")) << parsed.error();
  }
}

}  // namespace
}  // namespace ostrevane
