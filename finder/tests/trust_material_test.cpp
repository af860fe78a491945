#include "finder/src/lib/trust_material.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "finder/src/lib/trust_constants.hpp"

namespace ostrevane {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Reads a file of the source tree; test sources are compiled with absolute paths.
std::string source_file(const std::string& relative) {
  const auto root = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
  std::ifstream in(root / relative, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string section(const std::string& label, const std::string& body) {
  return "-----BEGIN " + label + "-----\n" + body + "\n-----END " + label + "-----\n";
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// "foo" and "bar" in Base64.
const std::string kFoo = "Zm9v";
const std::string kBar = "YmFy";
const Bytes kFooBytes = {'f', 'o', 'o'};
const Bytes kBarBytes = {'b', 'a', 'r'};

TEST(TrustMaterialTest, CompiledInConstantsLoad) {
  const auto material = load_trust_material();
  ASSERT_TRUE(material.has_value()) << material.error();
  EXPECT_EQ(material->public_key_text, MANIFEST_PUBLIC_KEY);
  if (BOX_CA_PEM != source_file("resources/box_ca.pem") ||
      MANIFEST_PUBLIC_KEY != source_file("resources/manifest.pub")) {
    GTEST_SKIP() << "built with other trust material";
  }
  const Bytes& der = material->ca_certificate;
  ASSERT_EQ(der.size(), 402u);
  // One SEQUENCE with a two-byte length holding the other 398 bytes.
  EXPECT_EQ(der[0], 0x30);
  EXPECT_EQ(der[1], 0x82);
  EXPECT_EQ((der[2] << 8) | der[3], 398);
  ASSERT_EQ(material->public_key_text.size(), 116u);
  EXPECT_TRUE(material->public_key_text.ends_with("\r\n"));
}

TEST(TrustMaterialTest, PublicKeyTextIsPassedOnUnread) {
  const std::string key("not a key\r\n\0\xFF", 13);
  const auto material = load_trust_material_from(section("CERTIFICATE", kFoo), key);
  ASSERT_TRUE(material.has_value()) << material.error();
  EXPECT_EQ(material->public_key_text, key);
}

// The certificate file as described: its layout, then its content as X.509.
class BoxCaFileTest : public testing::Test {
 protected:
  const std::string pem_ = source_file("resources/box_ca.pem");
};

TEST_F(BoxCaFileTest, LayoutOfTheText) {
  ASSERT_EQ(pem_.size(), 599u);
  EXPECT_EQ(pem_.find('\r'), std::string::npos);
  ASSERT_TRUE(pem_.ends_with('\n'));
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < pem_.size();) {
    const std::size_t end = pem_.find('\n', start);
    lines.push_back(pem_.substr(start, end - start));
    start = end + 1;
  }
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines.front(), "-----BEGIN CERTIFICATE-----");
  EXPECT_EQ(lines.back(), "-----END CERTIFICATE-----");
  for (std::size_t i = 1; i <= 8; ++i) {
    EXPECT_EQ(lines[i].size(), 64u) << "line " << i + 1;
  }
  EXPECT_EQ(lines[9].size(), 24u);
  EXPECT_EQ(pem_.find('='), std::string::npos);
}

TEST_F(BoxCaFileTest, SelfSignedEd25519RootCa) {
  const auto material = load_trust_material_from(pem_, "");
  ASSERT_TRUE(material.has_value()) << material.error();
  const Bytes& der = material->ca_certificate;
  const unsigned char* p = der.data();
  std::unique_ptr<X509, decltype(&X509_free)> cert(
      d2i_X509(nullptr, &p, static_cast<long>(der.size())), X509_free);
  ASSERT_NE(cert, nullptr);
  EXPECT_EQ(p, der.data() + der.size());
  X509* x = cert.get();

  EXPECT_EQ(X509_get_version(x), X509_VERSION_3);
  EXPECT_EQ(X509_get_signature_nid(x), NID_ED25519);
  EVP_PKEY* key = X509_get0_pubkey(x);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(EVP_PKEY_get_id(key), EVP_PKEY_ED25519);
  EXPECT_EQ(X509_verify(x, key), 1);
  EXPECT_EQ(ASN1_STRING_length(X509_get0_serialNumber(x)), 16);

  const X509_NAME* subject = X509_get_subject_name(x);
  EXPECT_EQ(X509_NAME_cmp(subject, X509_get_issuer_name(x)), 0);
  ASSERT_EQ(X509_NAME_entry_count(subject), 2);
  EXPECT_EQ(OBJ_obj2nid(X509_NAME_ENTRY_get_object(X509_NAME_get_entry(subject, 0))),
            NID_organizationName);
  EXPECT_EQ(OBJ_obj2nid(X509_NAME_ENTRY_get_object(X509_NAME_get_entry(subject, 1))),
            NID_commonName);

  const auto critical = [x](int nid) {
    const int at = X509_get_ext_by_NID(x, nid, -1);
    return at >= 0 && X509_EXTENSION_get_critical(X509_get_ext(x, at)) == 1;
  };
  EXPECT_TRUE(critical(NID_basic_constraints));
  EXPECT_TRUE(X509_get_extension_flags(x) & EXFLAG_CA);
  EXPECT_EQ(X509_get_pathlen(x), 1);
  EXPECT_TRUE(critical(NID_key_usage));
  EXPECT_EQ(X509_get_key_usage(x), static_cast<std::uint32_t>(KU_KEY_CERT_SIGN | KU_CRL_SIGN));
  EXPECT_NE(X509_get0_subject_key_id(x), nullptr);
  EXPECT_NE(X509_get0_authority_key_id(x), nullptr);
  EXPECT_LT(X509_get_ext_by_NID(x, NID_name_constraints, -1), 0);
}

TEST_F(BoxCaFileTest, CrLfAndCrLineEndsGiveTheSameDer) {
  const auto lf = load_trust_material_from(pem_, "");
  const auto crlf = load_trust_material_from(replace_all(pem_, "\n", "\r\n"), "");
  const auto cr = load_trust_material_from(replace_all(pem_, "\n", "\r"), "");
  ASSERT_TRUE(lf.has_value() && crlf.has_value() && cr.has_value());
  EXPECT_EQ(crlf->ca_certificate, lf->ca_certificate);
  EXPECT_EQ(cr->ca_certificate, lf->ca_certificate);
}

struct PemCase {
  std::string name;
  std::string pem;
  std::expected<Bytes, std::string> result;
};

void PrintTo(const PemCase& c, std::ostream* os) {
  *os << c.name;
}

class PemReaderTest : public testing::TestWithParam<PemCase> {};

TEST_P(PemReaderTest, Reads) {
  const auto material = load_trust_material_from(GetParam().pem, "key");
  if (GetParam().result.has_value()) {
    ASSERT_TRUE(material.has_value()) << material.error();
    EXPECT_EQ(material->ca_certificate, *GetParam().result);
  } else {
    ASSERT_FALSE(material.has_value());
    EXPECT_EQ(material.error(), GetParam().result.error());
  }
}

std::unexpected<std::string> unreadable(const std::string& fault) {
  return std::unexpected("unreadable certificate: " + fault);
}

const std::string kBroken = "Zm9v!!!!";
const std::string kBigBody = std::string(PEM_BODY_LIMIT - 4, 'A') + kFoo;

INSTANTIATE_TEST_SUITE_P(
    Sections, PemReaderTest,
    testing::Values(
        PemCase{"PrivateKeyThenCertificate",
                section("PRIVATE KEY", kBar) + section("CERTIFICATE", kFoo), kFooBytes},
        PemCase{"FirstOfTwoCertificates",
                section("CERTIFICATE", kFoo) + section("CERTIFICATE", kBar), kFooBytes},
        PemCase{"LaterSectionsAreNeverRead",
                section("CERTIFICATE", kFoo) + section("PRIVATE KEY", kBroken) +
                    "-----BEGIN CERTIFICATE---\n",
                kFooBytes},
        PemCase{"UnknownLabelDroppedUndecoded",
                section("TRUSTED CERTIFICATE", kBroken) + section("CERTIFICATE", kFoo), kFooBytes},
        PemCase{"TextAroundSectionsIgnored",
                "Subject: O=Ostrevane\n\n" + section("CERTIFICATE", kFoo) + "trailing words\n",
                kFooBytes},
        PemCase{
            "WhiteSpaceInBodySkipped",
            "-----BEGIN CERTIFICATE-----  \r\n  Zm\t9v\v\fYm  \r\nFy \n-----END CERTIFICATE-----",
            Bytes{'f', 'o', 'o', 'b', 'a', 'r'}},
        // A new BEGIN line inside an open section starts that section over.
        PemCase{"BeginInsideSectionStartsOver",
                "-----BEGIN CERTIFICATE-----\n" + kBar + "\n" + section("CERTIFICATE", kFoo),
                kFooBytes},
        PemCase{"NoFinalLineEnd", "-----BEGIN CERTIFICATE-----\nZm9v\n-----END CERTIFICATE-----",
                kFooBytes},
        PemCase{"SeveralKilobytesAccepted",
                section("CERTIFICATE", std::string(8 * 1024 - 4, 'A') + kFoo),
                [] {
                  Bytes b(6 * 1024 - 3, 0);
                  b.insert(b.end(), kFooBytes.begin(), kFooBytes.end());
                  return b;
                }()},
        PemCase{"BodyAtTheLimit", section("CERTIFICATE", kBigBody),
                [] {
                  Bytes b(PEM_BODY_LIMIT / 4 * 3 - 3, 0);
                  b.insert(b.end(), kFooBytes.begin(), kFooBytes.end());
                  return b;
                }()},
        PemCase{"EmptyText", "", std::unexpected("no certificate in this PEM")},
        PemCase{"NoSection", "just some text\n", std::unexpected("no certificate in this PEM")},
        PemCase{"OnlyPublicKey", section("PUBLIC KEY", kFoo),
                std::unexpected("no certificate in this PEM")},
        PemCase{"OnlyUnknownLabel", section("FOO", kFoo),
                std::unexpected("no certificate in this PEM")},
        PemCase{"EndsInsideCertificate", "-----BEGIN CERTIFICATE-----\nZm9v\n",
                unreadable("the CERTIFICATE section has no \"-----END CERTIFICATE-----\" line")},
        PemCase{"EndLineOfAnotherLabel",
                "-----BEGIN CERTIFICATE-----\nZm9v\n-----END X509 CRL-----\n",
                unreadable("the CERTIFICATE section has no \"-----END CERTIFICATE-----\" line")},
        PemCase{"EndsInsideUnknownSection", "-----BEGIN FOO-----\n",
                unreadable("the FOO section has no \"-----END FOO-----\" line")},
        PemCase{"BrokenPrivateKeyBeforeGoodCertificate",
                section("PRIVATE KEY", kBroken) + section("CERTIFICATE", kFoo),
                unreadable("the PRIVATE KEY section is not Base64: byte 0x21 at offset 4")},
        PemCase{"BrokenCertificate", section("CERTIFICATE", "Zm9"),
                unreadable("the CERTIFICATE section is not Base64: its length is not a "
                           "multiple of 4")},
        PemCase{"FourDashes", "-----BEGIN CERTIFICATE----\nZm9v\n-----END CERTIFICATE-----\n",
                unreadable("a \"-----BEGIN \" line does not close its label with exactly five "
                           "dashes")},
        PemCase{"SixDashes", "-----BEGIN CERTIFICATE------\nZm9v\n-----END CERTIFICATE-----\n",
                unreadable("a \"-----BEGIN \" line does not close its label with exactly five "
                           "dashes")},
        PemCase{"NoDashes", "-----BEGIN CERTIFICATE\n",
                unreadable("a \"-----BEGIN \" line does not close its label with exactly five "
                           "dashes")},
        PemCase{"BodyOverTheLimit", section("CERTIFICATE", kBigBody + kFoo),
                unreadable("the CERTIFICATE section is larger than 65536 bytes")},
        PemCase{"UnknownBodyOverTheLimit",
                section("FOO", kBigBody + kFoo) + section("CERTIFICATE", kFoo),
                unreadable("the FOO section is larger than 65536 bytes")}),
    [](const testing::TestParamInfo<PemCase>& info) { return info.param.name; });

std::unexpected<std::string> not_base64(const std::string& fault) {
  return unreadable("the CERTIFICATE section is not Base64: " + fault);
}

INSTANTIATE_TEST_SUITE_P(
    Base64, PemReaderTest,
    testing::Values(PemCase{"NoPadding", section("CERTIFICATE", "Zm9v"), kFooBytes},
                    PemCase{"OnePad", section("CERTIFICATE", "Zm8="), Bytes{'f', 'o'}},
                    PemCase{"TwoPads", section("CERTIFICATE", "Zg=="), Bytes{'f'}},
                    PemCase{"AllSymbols", section("CERTIFICATE", "+/+/"), Bytes{0xFB, 0xFF, 0xBF}},
                    PemCase{"EmptyBody", section("CERTIFICATE", ""), Bytes{}},
                    PemCase{"MissingPadding", section("CERTIFICATE", "Zg"),
                            not_base64("its length is not a multiple of 4")},
                    PemCase{"ShortPadding", section("CERTIFICATE", "Zg="),
                            not_base64("its length is not a multiple of 4")},
                    PemCase{"ThreePads", section("CERTIFICATE", "Z==="),
                            not_base64("misplaced padding")},
                    PemCase{"PaddingInTheMiddle", section("CERTIFICATE", "Zg==Zm9v"),
                            not_base64("misplaced padding")},
                    PemCase{"DataAfterPadding", section("CERTIFICATE", "Zm=v"),
                            not_base64("misplaced padding")},
                    PemCase{"SetBitsBeforeOnePad", section("CERTIFICATE", "Zm9="),
                            not_base64("non-zero bits after the last byte")},
                    PemCase{"SetBitsBeforeTwoPads", section("CERTIFICATE", "Zh=="),
                            not_base64("non-zero bits after the last byte")},
                    PemCase{"UrlSafeMinus", section("CERTIFICATE", "Zm-v"),
                            not_base64("byte 0x2D at offset 2")},
                    PemCase{"UrlSafeUnderscore", section("CERTIFICATE", "Zm_v"),
                            not_base64("byte 0x5F at offset 2")},
                    PemCase{"NonAscii", section("CERTIFICATE", "Zm9\xC3"),
                            not_base64("byte 0xC3 at offset 3")}),
    [](const testing::TestParamInfo<PemCase>& info) { return info.param.name; });

}  // namespace
}  // namespace ostrevane
