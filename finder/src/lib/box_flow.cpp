#include "finder/src/lib/box_flow.hpp"

#include <string_view>

#include "finder/src/lib/classify.hpp"
#include "finder/src/lib/verify.hpp"
#include "platform/path_text.hpp"
#include "platform/temp_folder.hpp"
#include "proxy/src/discover/box_names.hpp"
#include "proxy/src/discover/probe.hpp"
#include "proxy/src/fetch/box_client.hpp"
#include "proxy/src/fetch/download.hpp"
#include "proxy/src/fetch/fetch.hpp"
#include "proxy/src/upstream/tls_config.hpp"
#include "proxy/src/upstream/upstream.hpp"

namespace ostrevane {
namespace asio = boost::asio;

namespace {

bool is_utf8(std::string_view bytes) {
  return platform::utf8_lossy(bytes) == bytes;
}

}  // namespace

std::pair<std::string, std::string> select_shell_file(const Manifest& manifest,
                                                      bool webview2_present) {
  if (webview2_present) {
    return {manifest.shell.update, manifest.shell.sha256.update};
  }
  return {manifest.shell.installer, manifest.shell.sha256.installer};
}

bool is_installer_file_name(std::string_view name) {
  return name.size() >= 4 && name.ends_with(".exe") && name.find('/') == std::string_view::npos &&
         name.find('\\') == std::string_view::npos && name.find("..") == std::string_view::npos;
}

asio::awaitable<std::expected<std::filesystem::path, FailureKind>> run_box_flow(
    Runtime& runtime, std::filesystem::path working_folder, const ProgressReporter& reporter,
    BoxAnswer answer, const TrustMaterial& trust, bool webview2_present, BoxFlowTimeouts timeouts) {
  reporter(BoxFound{answer.slug, answer.product});

  ProbeResult probe = co_await probe_box(answer, trust.ca_certificate, timeouts.probe);
  if (probe.outcome == ProbeOutcome::Silent) {
    co_return std::unexpected(FailureKind::not_answering(std::move(probe.text)));
  }
  if (probe.outcome == ProbeOutcome::NotGenuine) {
    co_return std::unexpected(FailureKind::not_genuine(std::move(probe.text)));
  }

  auto hosts = box_host_names(answer.slug, answer.product);
  if (!hosts) {
    co_return std::unexpected(FailureKind::not_genuine(std::move(hosts.error())));
  }
  auto tls = build_tls_config(trust.ca_certificate);
  if (!tls) {
    co_return std::unexpected(FailureKind::not_genuine(std::move(tls.error())));
  }
  BoxClient client(
      runtime.io.get_executor(),
      make_upstream_state(answer.address, answer.port, std::move(*hosts), std::move(*tls)),
      timeouts.client);

  auto manifest_body =
      co_await fetch_from_box(client, "/desktop/manifest.json", MANIFEST_LIMIT, BoxTarget::App);
  if (!manifest_body) {
    co_return std::unexpected(
        FailureKind::no_installer(fetch_error_display(manifest_body.error())));
  }
  auto signature_body = co_await fetch_from_box(client, "/desktop/manifest.json.minisig",
                                                SIGNATURE_LIMIT, BoxTarget::App);
  if (!signature_body) {
    co_return std::unexpected(
        FailureKind::no_installer(fetch_error_display(signature_body.error())));
  }
  if (!is_utf8(*signature_body)) {
    co_return std::unexpected(FailureKind::no_installer("the signature is not text"));
  }

  auto manifest = verify_manifest(*manifest_body, *signature_body, trust.public_key_text);
  if (!manifest) {
    co_return std::unexpected(FailureKind::no_installer(std::move(manifest.error())));
  }
  if (manifest->product != answer.product) {
    co_return std::unexpected(FailureKind::no_installer("the manifest is for " + manifest->product +
                                                        ", the box runs " + answer.product));
  }

  auto [file_name, digest] = select_shell_file(*manifest, webview2_present);
  if (!is_installer_file_name(file_name)) {
    co_return std::unexpected(FailureKind::no_installer("an unexpected file name: " + file_name));
  }

  if (auto created =
          report_io_error(working_folder, platform::create_private_folder(working_folder));
      !created) {
    co_return std::unexpected(std::move(created.error()));
  }

  // The manifest's name is UTF-8; the path's own encoding may not be.
  std::filesystem::path destination = working_folder / platform::path_from_utf8(file_name);
  const std::string request_path = "/desktop/" + file_name;
  auto downloaded =
      co_await download_file(client, request_path, destination, digest, download_progress(reporter),
                             DOWNLOAD_LIMIT, BoxTarget::App, runtime.blocking.get_executor());
  if (!downloaded) {
    co_return std::unexpected(classify_fetch_error(std::move(downloaded.error())));
  }
  co_return destination;
}

}  // namespace ostrevane
