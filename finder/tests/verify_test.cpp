#include "finder/src/lib/verify.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>

#include "finder/src/lib/minisign.hpp"
#include "finder/src/lib/semver.hpp"
#include "finder/src/lib/trust_constants.hpp"
#include "testsupport/files.hpp"
#include "testsupport/minisign_signer.hpp"
#include "testsupport/scratch_dir.hpp"

namespace ostrevane {
namespace {

using test::MinisignSigner;
using test::SignatureKind;

const std::string kDigest(64, 'a');

nlohmann::json good_manifest_json() {
  return {
      {"version", 1},
      {"product", "lunel"},
      {"release", "2025.06"},
      {"bundle", {{"file", "bundle.zip"}, {"sha256", kDigest}, {"size", 1234}}},
      {"shell",
       {{"version", "1.4.0"},
        {"minimum", "1.2.0"},
        {"installer", "Setup.exe"},
        {"update", "Update.exe"},
        {"sha256", {{"installer", std::string(64, 'b')}, {"update", std::string(64, 'c')}}}}},
  };
}

// --- the public-key line -----------------------------------------------------

const std::string kProgramKey = "RWQx7Kp2Vn9LdE4sTg8hBz1uYc6mNa3fJr5oWi0qXe2tHk7bGv4ySlPc";

TEST(PublicKeyLine, FindsTheSameKeyWhateverTheLineEndsAndSpaces) {
  const std::string comment = "untrusted comment: minisign public key: 7D3E0A51C6B8F294";
  const std::string texts[] = {
      std::string(MANIFEST_PUBLIC_KEY),
      comment + "\n" + kProgramKey + "\n",
      comment + "\n" + kProgramKey,
      "\n\n" + comment + "\r\n\r\n  " + kProgramKey + " \t\r\n\n \n",
      // no-break space, ideographic space, em space, next line
      comment + "\n\xC2\xA0\xE3\x80\x80" + kProgramKey + "\xE2\x80\x83\xC2\x85\n",
      // a comment line only needs its 18 characters, once trimmed
      "  untrusted comment:\n" + kProgramKey + "\nuntrusted comment:x\n",
  };
  for (const std::string& text : texts) {
    EXPECT_EQ(minisign::public_key_line(text), kProgramKey) << text;
  }
}

TEST(PublicKeyLine, LastRemainingLineWinsAndCommentsAreCaseSensitive) {
  EXPECT_EQ(minisign::public_key_line(kProgramKey + "\nstray\n"), "stray");
  EXPECT_EQ(minisign::public_key_line("Untrusted comment: x\n" + kProgramKey + "\n"), kProgramKey);
  EXPECT_EQ(minisign::public_key_line(kProgramKey + "\nUntrusted comment: x\n"),
            "Untrusted comment: x");
  for (const char* text : {"", "\r\n \n", "untrusted comment: a\n\nuntrusted comment: b"}) {
    EXPECT_EQ(minisign::public_key_line(text), std::nullopt) << text;
  }
}

TEST(SignatureText, NormalisesLineEndsAndTrailingSpace) {
  EXPECT_EQ(minisign::normalise_signature_text("a\r\nb\r\n\r\n \t\xC2\xA0\n"), "a\nb");
  // A lone CR is not a line end; only the pair is.
  EXPECT_EQ(minisign::normalise_signature_text("a\rb\r\r\nc"), "a\rb\r\nc");
}

TEST(Base64, DecodesOnlyCanonicalPaddedText) {
  auto bytes = [](std::string_view s) { return std::vector<std::uint8_t>(s.begin(), s.end()); };
  EXPECT_EQ(minisign::base64_decode("TWFu"), bytes("Man"));
  EXPECT_EQ(minisign::base64_decode("TWE="), bytes("Ma"));
  EXPECT_EQ(minisign::base64_decode("TQ=="), bytes("M"));
  EXPECT_EQ(minisign::base64_decode("+/+/"), bytes("\xfb\xff\xbf"));
  for (const char* bad : {"TWE", "TQ", "T===", "TW=E", "TR==", "TWF=", "TW u", "TWFu\n", "TWF-",
                          "====", "TWFu===="}) {
    EXPECT_EQ(minisign::base64_decode(bad), std::nullopt) << bad;
  }
  const std::string all = "\x00\x01\xfe\xff any bytes at all \x80";
  auto round = minisign::base64_decode(minisign::base64_encode(bytes(all)));
  EXPECT_EQ(round, bytes(all));
}

// --- verification against the in-process signer ------------------------------

class VerifyManifest : public testing::Test {
 protected:
  std::string manifest_ = good_manifest_json().dump(2) + "\n";
  MinisignSigner signer_;
  std::string key_ = signer_.public_key_text();

  std::string sign(std::string_view bytes, SignatureKind kind = SignatureKind::Prehashed) {
    return signer_.sign(bytes, "timestamp:1750000000\tfile:manifest.json\thashed", kind).text();
  }
  std::expected<Manifest, std::string> verify(const std::string& signature) {
    return verify_manifest(manifest_, signature, key_);
  }
};

TEST_F(VerifyManifest, AcceptsAGoodPrehashedSignature) {
  auto verified = verify(sign(manifest_));
  ASSERT_TRUE(verified) << verified.error();
  EXPECT_EQ(*verified, *parse_manifest(manifest_));
}

TEST_F(VerifyManifest, SignatureFileFormsVerifyAlike) {
  std::string signature = sign(manifest_);
  std::string crlf;
  for (char c : signature) {
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  }
  for (const std::string& text : {crlf, crlf + "\r\n\r\n \r\n", signature + "\n\n\t\n",
                                  signature + "anything after the fourth line\n"}) {
    auto verified = verify(text);
    EXPECT_TRUE(verified) << (verified ? "" : verified.error()) << "\n" << text;
  }
}

struct KeyCase {
  const char* name;
  std::function<std::string(const MinisignSigner&)> key_text;
  std::string message;
};

void PrintTo(const KeyCase& c, std::ostream* os) {
  *os << c.name;
}

class VerifyManifestKey : public VerifyManifest, public testing::WithParamInterface<KeyCase> {};

TEST_P(VerifyManifestKey, RefusesAKeyThatCannotBeRead) {
  auto verified = verify_manifest(manifest_, sign(manifest_), GetParam().key_text(signer_));
  ASSERT_FALSE(verified);
  EXPECT_EQ(verified.error(), GetParam().message);
}

std::string key_with_algorithm(const MinisignSigner& signer, std::string_view algorithm) {
  auto bytes = *minisign::base64_decode(signer.public_key_base64());
  std::copy(algorithm.begin(), algorithm.end(), bytes.begin());
  return minisign::base64_encode(bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, VerifyManifestKey,
    testing::Values(
        KeyCase{"Empty", [](const MinisignSigner&) { return std::string(); },
                "the public key is empty"},
        KeyCase{"CommentsOnly",
                [](const MinisignSigner&) {
                  return std::string("untrusted comment: a\r\n\r\nuntrusted comment:\r\n");
                },
                "the public key is empty"},
        KeyCase{"StrayLineAfterTheKey",
                [](const MinisignSigner& s) { return s.public_key_text() + "stray\n"; },
                "the public key does not parse: Invalid encoding in minisign data"},
        KeyCase{"ShortKey",
                [](const MinisignSigner& s) { return s.public_key_base64().substr(0, 52); },
                "the public key does not parse: Invalid encoding in minisign data"},
        KeyCase{"UnknownAlgorithm",
                [](const MinisignSigner& s) { return key_with_algorithm(s, "Ex"); },
                "the public key does not parse: This signature algorithm is not supported by "
                "this implementation"}),
    [](const testing::TestParamInfo<KeyCase>& info) { return std::string(info.param.name); });

struct SignatureCase {
  const char* name;
  // Returns the signature text to check, given the signer and the manifest.
  std::function<std::string(const MinisignSigner&, const std::string&)> signature;
  std::string message;
};

void PrintTo(const SignatureCase& c, std::ostream* os) {
  *os << c.name;
}

class VerifyManifestSignature : public VerifyManifest,
                                public testing::WithParamInterface<SignatureCase> {};

TEST_P(VerifyManifestSignature, RefusesWithTheFirstFailedCheck) {
  auto verified = verify(GetParam().signature(signer_, manifest_));
  ASSERT_FALSE(verified);
  EXPECT_EQ(verified.error(), GetParam().message);
}

test::MinisignSignatureFile signed_file(const MinisignSigner& signer, const std::string& bytes,
                                        SignatureKind kind = SignatureKind::Prehashed) {
  return signer.sign(bytes, "timestamp:1750000000", kind);
}

std::string first_lines(const std::string& text, int count) {
  std::size_t end = 0;
  for (int i = 0; i < count; ++i) {
    end = text.find('\n', end) + 1;
  }
  return text.substr(0, end);
}

const std::string kInvalid = "the signature does not parse: Invalid encoding in minisign data";
const std::string kFailed = "bad signature: The signature verification failed";
const std::string kOtherKey =
    "bad signature: The signature was created with a different key than the one provided";

INSTANTIATE_TEST_SUITE_P(
    Signatures, VerifyManifestSignature,
    testing::Values(
        SignatureCase{"Empty", [](const MinisignSigner&, const std::string&) { return ""; },
                      kInvalid},
        SignatureCase{"ThreeLines",
                      [](const MinisignSigner& s, const std::string& m) {
                        return first_lines(signed_file(s, m).text(), 3);
                      },
                      kInvalid},
        SignatureCase{"NoTrustedCommentPrefix",
                      [](const MinisignSigner& s, const std::string& m) {
                        std::string text = signed_file(s, m).text();
                        return text.replace(text.find("trusted comment: t"), 17,
                                            "trusted comment:");
                      },
                      kInvalid},
        SignatureCase{"ShortSignatureLine",
                      [](const MinisignSigner& s, const std::string& m) {
                        std::string text = signed_file(s, m).text();
                        auto line = text.find('\n') + 1;
                        return text.erase(line, 4);
                      },
                      kInvalid},
        SignatureCase{"UnknownAlgorithm",
                      [](const MinisignSigner& s, const std::string& m) {
                        auto file = signed_file(s, m);
                        file.algorithm = {'e', 'D'};
                        return file.text();
                      },
                      "the signature does not parse: This signature algorithm is not supported "
                      "by this implementation"},
        SignatureCase{"OtherKey",
                      [](const MinisignSigner&, const std::string& m) {
                        return signed_file(MinisignSigner(), m).text();
                      },
                      kOtherKey},
        SignatureCase{"OtherKeyLegacy",
                      [](const MinisignSigner&, const std::string& m) {
                        return signed_file(MinisignSigner(), m, SignatureKind::Legacy).text();
                      },
                      kOtherKey},
        SignatureCase{"Legacy",
                      [](const MinisignSigner& s, const std::string& m) {
                        return signed_file(s, m, SignatureKind::Legacy).text();
                      },
                      "bad signature: Unexpected signature algorithm"},
        // The algorithm decides what was signed: a signature over the bytes
        // themselves must not pass as one over their digest.
        SignatureCase{"LegacyMarkedPrehashed",
                      [](const MinisignSigner& s, const std::string& m) {
                        auto file = signed_file(s, m, SignatureKind::Legacy);
                        file.algorithm = {'E', 'D'};
                        return file.text();
                      },
                      kFailed},
        SignatureCase{"ManifestSpaceAdded",
                      [](const MinisignSigner& s, const std::string& m) {
                        return signed_file(s, m + " ").text();
                      },
                      kFailed},
        SignatureCase{"TrustedCommentChanged",
                      [](const MinisignSigner& s, const std::string& m) {
                        auto file = signed_file(s, m);
                        file.trusted_comment.back() ^= 1;
                        return file.text();
                      },
                      kFailed},
        SignatureCase{"GlobalSignatureChanged",
                      [](const MinisignSigner& s, const std::string& m) {
                        auto file = signed_file(s, m);
                        file.global_signature[10] ^= 0x40;
                        return file.text();
                      },
                      kFailed}),
    [](const testing::TestParamInfo<SignatureCase>& info) { return std::string(info.param.name); });

TEST_F(VerifyManifest, SignedTextThatIsNotJsonDoesNotParse) {
  manifest_ = "{\"version\": 1,";
  auto verified = verify(sign(manifest_));
  ASSERT_FALSE(verified);
  EXPECT_EQ(verified.error(),
            "the manifest does not parse: EOF while parsing an object at line 1 column 14");
}

// --- value rules ---------------------------------------------------------------

struct ValueCase {
  const char* name;
  std::function<void(nlohmann::json&)> change;
  std::string message;  // empty: the manifest is accepted
};

void PrintTo(const ValueCase& c, std::ostream* os) {
  *os << c.name;
}

class VerifyManifestValues : public VerifyManifest,
                             public testing::WithParamInterface<ValueCase> {};

TEST_P(VerifyManifestValues, ReportsTheFirstBadValueInOrder) {
  nlohmann::json json = good_manifest_json();
  GetParam().change(json);
  manifest_ = json.dump();
  auto verified = verify(sign(manifest_));
  if (GetParam().message.empty()) {
    EXPECT_TRUE(verified) << verified.error();
  } else {
    ASSERT_FALSE(verified);
    EXPECT_EQ(verified.error(), GetParam().message);
  }
}

const std::string k128(128, 'n');

INSTANTIATE_TEST_SUITE_P(
    Values, VerifyManifestValues,
    testing::Values(
        ValueCase{"VersionTwo", [](nlohmann::json& j) { j["version"] = 2; },
                  "manifest version 2, this shell reads 1"},
        ValueCase{"VersionBeforeNames",
                  [](nlohmann::json& j) {
                    j["version"] = 0;
                    j["release"] = "";
                  },
                  "manifest version 0, this shell reads 1"},
        ValueCase{"EmptyRelease", [](nlohmann::json& j) { j["release"] = ""; },
                  "release  is not a plain name"},
        ValueCase{"LongestName", [](nlohmann::json& j) { j["release"] = k128; }, ""},
        ValueCase{"NameTooLong", [](nlohmann::json& j) { j["release"] = k128 + "n"; },
                  "release " + k128 + "n is not a plain name"},
        ValueCase{"Dot", [](nlohmann::json& j) { j["release"] = "."; },
                  "release . is not a plain name"},
        ValueCase{"DotDot", [](nlohmann::json& j) { j["shell"]["installer"] = ".."; },
                  "installer .. is not a plain name"},
        ValueCase{"ThreeDotsAndLeadingDot",
                  [](nlohmann::json& j) {
                    j["release"] = "...";
                    j["bundle"]["file"] = ".hidden";
                    j["shell"]["update"] = "A-z_0+9.exe";
                  },
                  ""},
        ValueCase{"Slash", [](nlohmann::json& j) { j["bundle"]["file"] = "a/b.zip"; },
                  "bundle a/b.zip is not a plain name"},
        ValueCase{"Backslash", [](nlohmann::json& j) { j["shell"]["update"] = "..\\u.exe"; },
                  "update ..\\u.exe is not a plain name"},
        ValueCase{"Space", [](nlohmann::json& j) { j["shell"]["installer"] = "Set up.exe"; },
                  "installer Set up.exe is not a plain name"},
        ValueCase{"NonAscii", [](nlohmann::json& j) { j["release"] = "r\xC3\xA9lease"; },
                  "release r\xC3\xA9lease is not a plain name"},
        ValueCase{"NameBeforeDigest",
                  [](nlohmann::json& j) {
                    j["shell"]["update"] = "";
                    j["bundle"]["sha256"] = "x";
                  },
                  "update  is not a plain name"},
        ValueCase{"Digest63", [](nlohmann::json& j) { j["bundle"]["sha256"] = kDigest.substr(1); },
                  kDigest.substr(1) + " is not a sha256"},
        ValueCase{"Digest65",
                  [](nlohmann::json& j) { j["shell"]["sha256"]["installer"] = kDigest + "a"; },
                  kDigest + "a is not a sha256"},
        ValueCase{
            "DigestWithG",
            [](nlohmann::json& j) { j["shell"]["sha256"]["update"] = "g" + kDigest.substr(1); },
            "g" + kDigest.substr(1) + " is not a sha256"},
        ValueCase{"DigestsInOrder",
                  [](nlohmann::json& j) {
                    j["shell"]["sha256"]["update"] = "u";
                    j["shell"]["sha256"]["installer"] = "i";
                  },
                  "i is not a sha256"},
        ValueCase{"DigestCase",
                  [](nlohmann::json& j) {
                    j["bundle"]["sha256"] = std::string(64, 'F');
                    j["shell"]["sha256"]["installer"] =
                        "0123456789abcdefABCDEF" + std::string(42, 'e');
                  },
                  ""},
        ValueCase{"TwoNumberVersion", [](nlohmann::json& j) { j["shell"]["version"] = "1.4"; },
                  "shell.version: unexpected end of input after the minor version number"},
        ValueCase{"LeadingV", [](nlohmann::json& j) { j["shell"]["version"] = "v1.4.0"; },
                  "shell.version: unexpected character 'v' while parsing major version number"},
        ValueCase{"TrailingSpace", [](nlohmann::json& j) { j["shell"]["version"] = "1.4.0 "; },
                  "shell.version: unexpected character U+0020 after the version"},
        ValueCase{"FullVersion",
                  [](nlohmann::json& j) {
                    j["shell"]["version"] = "1.4.0-rc.1+build.5";
                    j["shell"]["minimum"] = "0.0.0";
                  },
                  ""},
        ValueCase{"BadMinimum", [](nlohmann::json& j) { j["shell"]["minimum"] = "1.02.0"; },
                  "shell.minimum: invalid leading zero in minor version number"},
        ValueCase{"VersionBeforeMinimum",
                  [](nlohmann::json& j) {
                    j["shell"]["minimum"] = "";
                    j["shell"]["version"] = "";
                  },
                  "shell.version: empty string, expected a semantic version"},
        ValueCase{"AnyProductAndSize",
                  [](nlohmann::json& j) {
                    j["product"] = "";
                    j["bundle"]["size"] = 0;
                  },
                  ""}),
    [](const testing::TestParamInfo<ValueCase>& info) { return std::string(info.param.name); });

// --- semantic versions ---------------------------------------------------------

TEST(SemanticVersion, ReadsAllParts) {
  auto version = parse_semantic_version("10.20.30-rc.1.x-y+build.007");
  ASSERT_TRUE(version) << version.error();
  EXPECT_EQ(*version, (SemanticVersion{10, 20, 30, {"rc", "1", "x-y"}, {"build", "007"}}));
  for (const char* text : {"0.0.0", "1.2.3-0.3.7", "1.2.3----RC-SNAPSHOT.12.9.1--.12+788",
                           "1.2.3+001", "18446744073709551615.0.0"}) {
    EXPECT_TRUE(parse_semantic_version(text)) << text;
  }
}

TEST(SemanticVersion, RefusesWithAReason) {
  const std::pair<const char*, const char*> cases[] = {
      {"1", "unexpected end of input after the major version number"},
      {"1.2.", "unexpected end of input while parsing patch version number"},
      {"01.2.3", "invalid leading zero in major version number"},
      {"1.2.03", "invalid leading zero in patch version number"},
      {" 1.2.3", "unexpected character U+0020 while parsing major version number"},
      {"1.2.3\xC2\xA0", "unexpected character U+00A0 after the version"},
      {"1.2.3-01", "invalid leading zero in pre-release"},
      {"1.2.3-", "empty identifier in pre-release"},
      {"1.2.3-a..b", "empty identifier in pre-release"},
      {"1.2.3-+b", "empty identifier in pre-release"},
      {"1.2.3+", "empty identifier in build metadata"},
      {"1.2.3-a_b", "unexpected character '_' after the version"},
      {"1.2.3+b+c", "unexpected character '+' after the version"},
      {"18446744073709551616.0.0", "value out of range in major version number"},
  };
  for (const auto& [text, message] : cases) {
    auto version = parse_semantic_version(text);
    ASSERT_FALSE(version) << text;
    EXPECT_EQ(version.error(), message) << text;
  }
}

// --- the minisign program as the other side ------------------------------------

bool has_program(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const std::filesystem::path candidate = std::filesystem::path(dir) / name;
    std::error_code error;
    const auto status = std::filesystem::status(candidate, error);
    if (!dir.empty() && std::filesystem::is_regular_file(status) &&
        (status.permissions() & std::filesystem::perms::owner_exec) !=
            std::filesystem::perms::none) {
      return true;
    }
  }
  return false;
}

class MinisignPeer : public testing::Test {
 protected:
  void SetUp() override {
    if (!has_program("minisign")) {
      GTEST_SKIP() << "the minisign program is not installed";
    }
    ASSERT_TRUE(run("-G -p pub -s sec -W"));
    test::write_file(dir_.path() / "manifest.json", manifest_);
  }

  // Runs minisign in the scratch directory; returns true when it exits with 0.
  bool run(const std::string& arguments) {
    std::string command = "cd '" + dir_.path().string() + "' && minisign " + arguments +
                          " </dev/null >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
  }

  std::string file(const char* name) { return test::read_file(dir_.path() / name); }

  test::ScratchDir dir_;
  std::string manifest_ = good_manifest_json().dump(2) + "\n";
};

TEST_F(MinisignPeer, DefaultSignatureVerifies) {
  ASSERT_TRUE(run("-S -s sec -m manifest.json -t 'release 2025.06'"));
  auto verified = verify_manifest(manifest_, file("manifest.json.minisig"), file("pub"));
  ASSERT_TRUE(verified) << verified.error();
  EXPECT_EQ(verified->release, "2025.06");
}

TEST_F(MinisignPeer, LineEndsAndTrailingBlankLinesDoNotMatter) {
  ASSERT_TRUE(run("-S -s sec -m manifest.json"));
  std::string crlf;
  for (char c : file("manifest.json.minisig")) {
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  }
  std::string key = file("pub");
  for (const std::string& signature : {crlf + "\r\n\r\n", file("manifest.json.minisig") + "\n\n"}) {
    auto verified = verify_manifest(manifest_, signature, key);
    EXPECT_TRUE(verified) << (verified ? "" : verified.error());
  }
}

TEST_F(MinisignPeer, LegacySignatureIsRefused) {
  ASSERT_TRUE(run("-S -l -s sec -m manifest.json"));
  auto verified = verify_manifest(manifest_, file("manifest.json.minisig"), file("pub"));
  ASSERT_FALSE(verified);
  EXPECT_EQ(verified.error(), "bad signature: Unexpected signature algorithm");
}

TEST_F(MinisignPeer, AnotherKeyIsNamedAsSuch) {
  ASSERT_TRUE(run("-G -p pub2 -s sec2 -W"));
  ASSERT_TRUE(run("-S -s sec2 -m manifest.json"));
  auto verified = verify_manifest(manifest_, file("manifest.json.minisig"), file("pub"));
  ASSERT_FALSE(verified);
  EXPECT_EQ(verified.error(), kOtherKey);
}

TEST_F(MinisignPeer, OneChangedByteFailsBeforeAnyParse) {
  ASSERT_TRUE(run("-S -s sec -m manifest.json"));
  std::string changed = manifest_;
  changed[changed.find("lunel")] = 'L';
  auto verified = verify_manifest(changed, file("manifest.json.minisig"), file("pub"));
  ASSERT_FALSE(verified);
  EXPECT_EQ(verified.error(), kFailed);
}

// Later tests sign their manifests in-process; the tool must agree with them.
TEST_F(MinisignPeer, AcceptsTheTestSigner) {
  MinisignSigner signer;
  test::write_file(dir_.path() / "own.pub", signer.public_key_text());
  test::write_file(dir_.path() / "manifest.json.minisig",
                   signer.sign(manifest_, "timestamp:1750000000\tfile:manifest.json").text());
  EXPECT_TRUE(run("-V -p own.pub -m manifest.json"));
  test::write_file(dir_.path() / "manifest.json.minisig",
                   signer.sign(manifest_ + " ", "timestamp:1750000000").text());
  EXPECT_FALSE(run("-V -p own.pub -m manifest.json"));
}

}  // namespace
}  // namespace ostrevane
