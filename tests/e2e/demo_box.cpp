// ostrevane-demo-box --trust DIR [options]: a stand-in for the clinic's box. It
// answers the discovery broadcast on 0.0.0.0:47111 and serves the signed demo
// release over HTTPS under a certificate for the box's four host names, made
// from the test CA of DIR (see ostrevane-make-trust). Its installer and update
// are shell scripts that record their arguments, or with --installer-file the
// bytes of that file (a Windows program, say). Prints "ready" once both
// services listen and runs until SIGTERM or SIGINT.

#include <signal.h>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/udp.hpp>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "proxy/src/discover/box_names.hpp"
#include "proxy/src/discover/discovery.hpp"
#include "tests/e2e/demo_release.hpp"
#include "testsupport/minisign_signer.hpp"
#include "testsupport/test_box.hpp"
#include "testsupport/test_pki.hpp"
#include "testsupport/udp_box.hpp"

namespace {

namespace fs = std::filesystem;
using namespace ostrevane;
using boost::asio::ip::address_v4;
using boost::asio::ip::udp;

constexpr char kUsage[] =
    "usage: ostrevane-demo-box --trust DIR [--slug SLUG] [--edition EDITION] [--port N]\n"
    "         [--args-file PATH] [--exit-code N] [--second-box] [--foreign-cert]\n"
    "         [--no-https] [--file-status N] [--bad-signature] [--bad-digest] [--slow-file]\n"
    "         [--paced] [--certificate PEM --key PEM] [--installer-file PATH]\n";

// The slow file trickles a mebibyte in 4 KiB writes, one every 250 ms: about a
// minute, long enough to cancel the download while it runs.
constexpr std::size_t kSlowPadding = 1024 * 1024;
constexpr std::size_t kSlowWriteSize = 4096;
constexpr std::chrono::milliseconds kSlowWriteDelay{250};
// A paced box takes its time at each step so that one can watch the progress:
// the manifest comes after a second, the file in 16 pieces over 1.6 s, and the
// installer takes a second.
constexpr std::chrono::milliseconds kPacedManifestDelay{1000};
constexpr std::size_t kPacedPieces = 16;
constexpr std::chrono::milliseconds kPacedWriteDelay{100};
constexpr unsigned kPacedInstallSeconds = 1;

struct Options {
  fs::path trust;
  std::string slug{e2e::kDefaultSlug};
  std::string edition{e2e::kDefaultEdition};
  std::uint16_t port = 443;
  e2e::DemoInstaller installer{"/tmp/ostrevane-demo-installer-args.txt"};
  bool second_box = false;
  bool foreign_cert = false;
  bool no_https = false;
  unsigned file_status = 200;
  bool bad_signature = false;
  bool bad_digest = false;
  bool slow_file = false;
  bool paced = false;
  std::optional<fs::path> certificate;  // a chain to present instead of the box's own
  std::optional<fs::path> key;
  std::optional<fs::path> installer_file;  // served as both files instead of the scripts
};

int parse_number(const std::string& option, const std::string& text, int low, int high) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || value < low || value > high) {
    throw std::invalid_argument(option + " takes a number from " + std::to_string(low) + " to " +
                                std::to_string(high) + ", not \"" + text + "\"");
  }
  return value;
}

Options parse_options(int argc, char** argv) {
  Options options;
  bool has_trust = false;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        throw std::invalid_argument(option + " needs a value");
      }
      return argv[++i];
    };
    if (option == "--trust") {
      options.trust = value();
      has_trust = true;
    } else if (option == "--slug") {
      options.slug = value();
    } else if (option == "--edition") {
      options.edition = value();
    } else if (option == "--port") {
      options.port = static_cast<std::uint16_t>(parse_number(option, value(), 1, 65535));
    } else if (option == "--args-file") {
      options.installer.args_file = value();
    } else if (option == "--exit-code") {
      options.installer.exit_code = parse_number(option, value(), 0, 255);
    } else if (option == "--second-box") {
      options.second_box = true;
    } else if (option == "--foreign-cert") {
      options.foreign_cert = true;
    } else if (option == "--no-https") {
      options.no_https = true;
    } else if (option == "--file-status") {
      options.file_status = static_cast<unsigned>(parse_number(option, value(), 100, 999));
    } else if (option == "--bad-signature") {
      options.bad_signature = true;
    } else if (option == "--bad-digest") {
      options.bad_digest = true;
    } else if (option == "--slow-file") {
      options.slow_file = true;
    } else if (option == "--paced") {
      options.paced = true;
    } else if (option == "--certificate") {
      options.certificate = value();
    } else if (option == "--key") {
      options.key = value();
    } else if (option == "--installer-file") {
      options.installer_file = value();
    } else {
      throw std::invalid_argument("unknown option " + option);
    }
  }
  if (!has_trust) {
    throw std::invalid_argument("--trust DIR is required");
  }
  if (options.certificate.has_value() != options.key.has_value()) {
    throw std::invalid_argument("--certificate and --key go together");
  }
  return options;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in) {
    throw std::runtime_error("cannot read " + path.string());
  }
  return text.str();
}

std::string discovery_answer(const std::string& slug, const std::string& edition,
                             std::uint16_t port) {
  const nlohmann::ordered_json answer = {
      {"qal", "box"}, {"v", 1}, {"slug", slug}, {"product", edition}, {"port", port}};
  return answer.dump();
}

// The certificate the box presents: for its four host names, signed by the
// test CA, or by a root of its own with --foreign-cert, or the one given with
// --certificate (the leaf, then its chain).
test::TestCertificate box_certificate(const Options& options) {
  if (options.certificate) {
    return test::TestCertificate::from_pem(read_file(*options.certificate),
                                           read_file(*options.key));
  }
  auto hosts = box_host_names(options.slug, options.edition);
  if (!hosts) {
    throw std::invalid_argument(hosts.error());
  }
  const std::vector<std::string> names{hosts->app, hosts->api, hosts->supabase, hosts->console};
  if (options.foreign_cert) {
    return test::TestCa("Ostrevane Foreign CA").issue_leaf(names);
  }
  const test::TestCa ca(test::TestCertificate::from_pem(read_file(options.trust / "ca.pem"),
                                                        read_file(options.trust / "ca.key.pem")));
  return ca.issue_leaf(names);
}

void serve_release(test::TestBox& box, const Options& options) {
  e2e::DemoInstaller installer = options.installer;
  if (options.slow_file) {
    installer.padding = kSlowPadding;
  }
  if (options.paced) {
    installer.sleep_seconds = kPacedInstallSeconds;
  }
  const std::string setup = options.installer_file ? read_file(*options.installer_file)
                                                   : e2e::demo_installer_script(installer, false);
  const std::string update =
      options.installer_file ? setup : e2e::demo_installer_script(installer, true);
  const std::string wrong = e2e::sha256_text("");
  std::string manifest =
      e2e::demo_manifest(options.edition, options.bad_digest ? wrong : e2e::sha256_text(setup),
                         options.bad_digest ? wrong : e2e::sha256_text(update));

  const auto signer =
      test::MinisignSigner::from_secret_text(read_file(options.trust / "manifest.key"));
  const std::string signature =
      signer.sign(manifest, "timestamp:1700000000\tfile:manifest.json").text();
  if (options.bad_signature) {
    manifest += "\n";  // after signing: the bytes served are not the bytes signed
  }
  test::Route manifest_route;
  manifest_route.body = manifest;
  if (options.paced) {
    manifest_route.head_delay = kPacedManifestDelay;
  }
  box.serve("/desktop/manifest.json", std::move(manifest_route));
  test::Route signature_route;
  signature_route.body = signature;
  box.serve("/desktop/manifest.json.minisig", std::move(signature_route));

  for (const auto& [name, body] :
       {std::pair{e2e::kInstallerName, setup}, std::pair{e2e::kUpdateName, update}}) {
    test::Route route;
    route.status = options.file_status;
    route.reason = "Demo";
    route.body = options.file_status == 200 ? body : std::string("the demo box refuses\n");
    if (options.slow_file) {
      route.write_size = kSlowWriteSize;
      route.write_delay = kSlowWriteDelay;
    } else if (options.paced) {
      route.write_size = route.body.size() / kPacedPieces + 1;
      route.write_delay = kPacedWriteDelay;
    }
    box.serve("/desktop/" + std::string(name), std::move(route));
  }
}

int run(const Options& options) {
  // Every thread started from here on inherits the mask, so the signals reach
  // sigwait() below and nothing else.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  std::unique_ptr<test::TestBox> https;
  if (!options.no_https) {
    https = std::make_unique<test::TestBox>(
        box_certificate(options),
        test::TestBoxOptions{.bind_address = "0.0.0.0", .port = options.port});
    serve_release(*https, options);
  }

  std::vector<test::UdpReply> replies{
      {.bytes = discovery_answer(options.slug, options.edition, options.port)}};
  if (options.second_box) {
    replies.push_back(
        {.bytes = discovery_answer(options.slug + "-annexe", options.edition, options.port),
         .source = udp::endpoint(boost::asio::ip::make_address_v4("127.0.0.2"), 0)});
  }
  test::UdpBox discovery(udp::endpoint(address_v4::any(), DISCOVERY_PORT), std::move(replies));

  std::printf("ready\n");
  std::fflush(stdout);
  int received = 0;
  sigwait(&stop_signals, &received);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(parse_options(argc, argv));
  } catch (const std::invalid_argument& error) {
    std::fprintf(stderr, "ostrevane-demo-box: %s\n%s", error.what(), kUsage);
    return 2;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "ostrevane-demo-box: %s\n", error.what());
    return 1;
  }
}
