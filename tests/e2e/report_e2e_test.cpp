// The built program in report mode against the demo box, each case in a
// private network namespace of its own.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "proxy/src/discover/box_names.hpp"
#include "tests/e2e/demo_release.hpp"
#include "tests/e2e/e2e_harness.hpp"
#include "testsupport/netns.hpp"
#include "testsupport/test_pki.hpp"

namespace ostrevane::e2e {
namespace {

using namespace std::chrono_literals;
using Files = std::optional<std::vector<std::string>>;

// The French messages as the report writes them, escapes included.
constexpr char kNoBoxMessage[] =
    R"(Aucun boîtier Ostrevane n'a répondu sur ce réseau.\n\nVérifiez que cet ordinateur est )"
    R"(relié au réseau du cabinet (câble ou Wi-Fi du cabinet, pas un Wi-Fi invité) et que le )"
    R"(boîtier est allumé, puis réessayez.)";
constexpr char kTwoBoxesMessage[] =
    R"(Deux boîtiers Ostrevane ont répondu sur ce réseau. Il ne doit y en avoir qu'un : rien )"
    R"(n'a été installé.\n\nContactez Ostrevane : support@ostrevane.fr.)";
constexpr char kNotGenuineMessage[] =
    R"(L'appareil qui a répondu n'est pas un boîtier Ostrevane authentique. Rien n'a été )"
    R"(installé.\n\nContactez Ostrevane : support@ostrevane.fr.)";
constexpr char kNotAnsweringMessage[] =
    R"(Le boîtier Ostrevane a été trouvé sur ce réseau, mais il ne répond pas. Il est )"
    R"(peut-être en train de démarrer : patientez une minute, puis réessayez.\n\nSi cela )"
    R"(continue, contactez Ostrevane : support@ostrevane.fr.)";
constexpr char kBoxErrorMessage[] =
    R"(Le boîtier a répondu par une erreur. Rien n'a été installé.\n\nRéessayez ; si cela se )"
    R"(reproduit, contactez Ostrevane : support@ostrevane.fr.)";
constexpr char kNoInstallerMessage[] =
    R"(Le boîtier ne propose pas d'installation valide. Rien n'a été installé.\n\nContactez )"
    R"(Ostrevane : support@ostrevane.fr.)";
constexpr char kDownloadMessage[] =
    R"(Le téléchargement depuis le boîtier a été interrompu. Vérifiez que cet ordinateur reste )"
    R"(relié au réseau du cabinet, puis réessayez.)";

std::string failure_report(std::string_view code, std::string_view detail,
                           std::string_view message) {
  return R"({"code":")" + std::string(code) + R"(","detail":")" + std::string(detail) +
         R"(","message":")" + std::string(message) + R"(","ok":false})";
}

struct ReportCase {
  const char* name = "";
  std::optional<std::vector<std::string>> box{};  // the demo box's options; none: no box
  bool webview2 = false;
  // The report's exact bytes; the home tells where the installer script writes.
  std::function<std::string(const ProgramHome&)> report{};
  int exit_code = 0;
  Files files{};  // the working folder afterwards; nullopt: never made
};

void PrintTo(const ReportCase& c, std::ostream* os) {
  *os << c.name;
}

std::string demo_file_sha256(const ProgramHome& home) {
  return sha256_text(demo_installer_script({.args_file = home.args_file().string()}, false));
}

const ReportCase kCases[] = {
    {.name = "SuccessWithoutWebview2",
     .box = std::vector<std::string>{},
     .report =
         [](const ProgramHome&) {
           return std::string(
               R"({"installer":"Ostrevane-Setup-1.4.2.exe","ok":true,"webview2":false})");
         },
     .exit_code = 0,
     .files = std::vector<std::string>{}},
    {.name = "SuccessWithWebview2",
     .box = std::vector<std::string>{},
     .webview2 = true,
     .report =
         [](const ProgramHome&) {
           return std::string(
               R"({"installer":"Ostrevane-Update-1.4.2.exe","ok":true,"webview2":true})");
         },
     .exit_code = 0,
     .files = std::vector<std::string>{}},
    {.name = "NoBox",
     .report = [](const ProgramHome&) { return failure_report("no_box", "", kNoBoxMessage); },
     .exit_code = 1},
    {.name = "TwoBoxes",
     .box = std::vector<std::string>{"--second-box"},
     .report = [](const ProgramHome&) { return failure_report("two_boxes", "", kTwoBoxesMessage); },
     .exit_code = 1},
    {.name = "NotGenuine",
     .box = std::vector<std::string>{"--foreign-cert"},
     .report =
         [](const ProgramHome&) {
           return failure_report("not_genuine",
                                 "certificate verify failed (unable to get local issuer "
                                 "certificate)",
                                 kNotGenuineMessage);
         },
     .exit_code = 1},
    {.name = "NotAnswering",
     .box = std::vector<std::string>{"--no-https"},
     .report =
         [](const ProgramHome&) {
           return failure_report("not_answering", "Connection refused (os error 111)",
                                 kNotAnsweringMessage);
         },
     .exit_code = 1},
    {.name = "BoxError",
     .box = std::vector<std::string>{"--file-status", "503"},
     .report =
         [](const ProgramHome&) {
           return failure_report("box_error",
                                 "/desktop/Ostrevane-Setup-1.4.2.exe: HTTP 503 Service Unavailable",
                                 kBoxErrorMessage);
         },
     .exit_code = 1,
     .files = std::vector<std::string>{}},
    {.name = "NoInstaller",
     .box = std::vector<std::string>{"--bad-signature"},
     .report =
         [](const ProgramHome&) {
           return failure_report("no_installer", "bad signature: The signature verification failed",
                                 kNoInstallerMessage);
         },
     .exit_code = 1},
    {.name = "Download",
     .box = std::vector<std::string>{"--bad-digest"},
     .report =
         [](const ProgramHome& home) {
           return failure_report(
               "download",
               "sha256 " + demo_file_sha256(home) + ", the manifest says " + sha256_text(""),
               kDownloadMessage);
         },
     .exit_code = 1,
     .files = std::vector<std::string>{}},
};

struct ReportRun {
  std::optional<int> exit_code;  // nullopt: it did not end in time
  std::optional<std::string> report;
  std::chrono::steady_clock::duration took{};
};

// Runs the program in report mode in `home`, with the demo box when `box`,
// and `extra_env` added to the program's environment; `runner`, when given, is
// the command that starts it.
ReportRun run_report(const std::optional<std::vector<std::string>>& box, const ProgramHome& home,
                     const std::filesystem::path& program = built_files().setup,
                     std::vector<std::string> runner = {},
                     const std::vector<std::string>& extra_env = {}) {
  std::optional<DemoBox> demo;
  if (box) {
    std::vector<std::string> options = *box;
    options.insert(options.end(), {"--args-file", home.args_file().string()});
    demo.emplace(options);
  }
  const auto report_path = home.root() / "report.json";
  std::filesystem::remove(report_path);
  runner.insert(runner.end(), {program.string(), "--report", report_path.string()});
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::string> env = home.environment();
  env.insert(env.end(), extra_env.begin(), extra_env.end());
  Child setup(runner, env);
  ReportRun run;
  run.exit_code = setup.wait(60s);
  run.took = std::chrono::steady_clock::now() - start;
  run.report = read_file(report_path);
  return run;
}

class ReportMode : public ::testing::TestWithParam<ReportCase> {};

TEST_P(ReportMode, WritesTheOutcomeAndLeavesNoFileBehind) {
  const ReportCase& c = GetParam();
  ProgramHome home;
  if (c.webview2) {
    home.install_webview2();
  }
  ReportRun run;
  auto in_namespace =
      test::run_in_private_network_namespace([&] { run = run_report(c.box, home); });
  if (!in_namespace) {
    GTEST_SKIP() << "needs a private network namespace: " << in_namespace.error();
  }
  EXPECT_EQ(run.exit_code, c.exit_code);
  EXPECT_EQ(run.report, c.report(home));
  EXPECT_EQ(home.working_files(), c.files);
  EXPECT_FALSE(std::filesystem::exists(home.args_file())) << "the installer ran";
  // Each discovery pass listens its whole 4 s window: one pass finds the box
  // (or two), three find none.
  const auto passes = c.box ? 4s : 12s;
  EXPECT_GE(run.took, passes);
  EXPECT_LT(run.took, passes + 4s);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, ReportMode, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// An OpenSSL configuration of the machine's, which the program must not heed:
// its system-wide TLS settings (`extra` lines added).
std::string openssl_config(const std::string& extra) {
  return "openssl_conf = openssl_init\n"
         "[openssl_init]\n"
         "ssl_conf = ssl_sect\n"
         "[ssl_sect]\n"
         "system_default = system_default_sect\n"
         "[system_default_sect]\n" +
         extra;
}

// What the box presents and what the machine's OpenSSL configuration says.
struct ServedChain {
  test::TestCertificate leaf;
  std::string config;
};

struct ConfigCase {
  const char* name = "";
  // Makes the chain under the build's root `ours`, for the demo box's names.
  std::function<ServedChain(const test::TestCa& ours, const std::vector<std::string>& names)>
      serve{};
  std::string detail{};  // the not_genuine report's detail
};

void PrintTo(const ConfigCase& c, std::ostream* os) {
  *os << c.name;
}

const std::string kLowestLevel = "CipherString = ALL:@SECLEVEL=0\n";

const ConfigCase kConfigCases[] = {
    {.name = "WeakRsaLeafAtTheLowestLevel",
     .serve =
         [](const test::TestCa& ours, const std::vector<std::string>& names) {
           return ServedChain{
               ours.issue_leaf(names, test::CertOptions{.key = {test::KeyKind::Rsa, 1024}}),
               openssl_config(kLowestLevel)};
         },
     .detail = "certificate verify failed (EE certificate key too weak)"},
    {.name = "Sha1ChainAtTheLowestLevel",
     .serve =
         [](const test::TestCa& ours, const std::vector<std::string>& names) {
           const test::TestCa intermediate = ours.issue_ca(
               "Ostrevane Test Intermediate", test::CertOptions{.key = {test::KeyKind::Rsa}});
           return ServedChain{
               intermediate.issue_leaf(names, test::CertOptions{.signing = {.digest = "SHA1"}}),
               openssl_config(kLowestLevel)};
         },
     .detail = "certificate verify failed (CA signature digest algorithm too weak)"},
};

class ReportModeUnderAnOpenSslConfig : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ReportModeUnderAnOpenSslConfig, KeepsTheProgramsOwnPolicy) {
  const ConfigCase& c = GetParam();
  ProgramHome home;
  const test::TestCa ours(
      test::TestCertificate::from_pem(*read_file(built_files().trust_dir / "ca.pem"),
                                      *read_file(built_files().trust_dir / "ca.key.pem")));
  const BoxHosts hosts = *box_host_names(kDefaultSlug, kDefaultEdition);
  const ServedChain served = c.serve(ours, {hosts.app, hosts.api, hosts.supabase, hosts.console});
  const auto chain_path = home.root() / "box.pem";
  const auto key_path = home.root() / "box.key.pem";
  const auto config_path = home.root() / "openssl.cnf";
  std::ofstream(chain_path) << served.leaf.chain_pem();
  served.leaf.write_key_pem(key_path);
  std::ofstream(config_path) << served.config;

  ReportRun run;
  auto in_namespace = test::run_in_private_network_namespace([&] {
    run = run_report(
        std::vector<std::string>{"--certificate", chain_path.string(), "--key", key_path.string()},
        home, built_files().setup, {}, {"OPENSSL_CONF=" + config_path.string()});
  });
  if (!in_namespace) {
    GTEST_SKIP() << "needs a private network namespace: " << in_namespace.error();
  }
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.report, failure_report("not_genuine", c.detail, kNotGenuineMessage));
  EXPECT_FALSE(std::filesystem::exists(home.args_file())) << "the installer ran";
}

INSTANTIATE_TEST_SUITE_P(Chains, ReportModeUnderAnOpenSslConfig, ::testing::ValuesIn(kConfigCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReportModeBuild, DamagedTrustMaterialGivesTheBuildReport) {
  ProgramHome home;
  ReportRun run;
  // A namespace all the same: should the program go on to search, its
  // broadcast stays inside.
  auto in_namespace = test::run_in_private_network_namespace(
      [&] { run = run_report(std::nullopt, home, built_files().broken_setup); });
  if (!in_namespace) {
    GTEST_SKIP() << "needs a private network namespace: " << in_namespace.error();
  }
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.report,
            R"({"code":"build","detail":"unreadable certificate: the CERTIFICATE section has no )"
            R"(\"-----END CERTIFICATE-----\" line","ok":false})");
  EXPECT_EQ(home.working_files(), Files());
}

// Two users of one machine share its temporary folder as they share /tmp: the
// working folder that the first one's run leaves there does not stop the
// second one's run.
TEST(ReportModeUsers, ASecondUserRunsAfterTheFirst) {
  constexpr uid_t kOtherUser = 65534;
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to run as a second user";
  }
  ProgramHome home;
  for (const auto& [folder, mode] : {std::pair{home.root(), 01777},
                                     {home.root() / "tmp", 01777},
                                     {home.root() / "wine", 0755},
                                     {home.root() / "home", 0755}}) {
    ASSERT_EQ(chmod(folder.c_str(), mode), 0) << folder;
  }
  const std::string other = std::to_string(kOtherUser);
  const std::vector<std::string> as_other_user{"/usr/bin/setpriv", "--reuid=" + other,
                                               "--regid=" + other, "--clear-groups", "--"};
  ReportRun first;
  ReportRun second;
  auto in_namespace = test::run_in_private_network_namespace([&] {
    first = run_report(std::vector<std::string>{}, home);
    second = run_report(std::vector<std::string>{}, home, built_files().setup, as_other_user);
  });
  if (!in_namespace) {
    GTEST_SKIP() << "needs a private network namespace: " << in_namespace.error();
  }
  const std::string success =
      R"({"installer":"Ostrevane-Setup-1.4.2.exe","ok":true,"webview2":false})";
  EXPECT_EQ(first.exit_code, 0);
  EXPECT_EQ(first.report, success);
  EXPECT_EQ(second.exit_code, 0);
  EXPECT_EQ(second.report, success);
  EXPECT_EQ(home.working_files(), Files(std::vector<std::string>{}));
  EXPECT_EQ(home.working_files(kOtherUser), Files(std::vector<std::string>{}));
}

}  // namespace
}  // namespace ostrevane::e2e
