#include "finder/src/lib/trust_material.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>

#include "finder/src/lib/base64.hpp"
#include "finder/src/lib/trust_constants.hpp"

namespace ostrevane {
namespace {

constexpr std::string_view kBeginPrefix = "-----BEGIN ";
constexpr std::string_view kEndPrefix = "-----END ";
constexpr std::string_view kDashes = "-----";
constexpr std::string_view kCertificateLabel = "CERTIFICATE";

// Labels whose sections are decoded; any other section is read and dropped.
constexpr std::array<std::string_view, 8> kKnownLabels = {
    "CERTIFICATE",    "PUBLIC KEY", "RSA PRIVATE KEY",     "PRIVATE KEY",
    "EC PRIVATE KEY", "X509 CRL",   "CERTIFICATE REQUEST", "ECHCONFIG",
};

bool is_known_label(std::string_view label) {
  for (std::string_view known : kKnownLabels) {
    if (label == known) {
      return true;
    }
  }
  return false;
}

bool is_pem_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Takes the next line off `text`; a line ends at LF or at CR.
std::string_view next_line(std::string_view& text) {
  const std::size_t end = text.find_first_of("\r\n");
  const std::string_view line = text.substr(0, end);
  text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  return line;
}

// Returns the label of a "-----BEGIN " line, or nullopt when it is not closed
// by exactly five dashes (spaces after them do not count).
std::optional<std::string_view> begin_label(std::string_view line) {
  std::string_view rest = line.substr(kBeginPrefix.size());
  while (!rest.empty() && rest.back() == ' ') {
    rest.remove_suffix(1);
  }
  const std::size_t last = rest.find_last_not_of('-');
  const std::size_t label_end = last == std::string_view::npos ? 0 : last + 1;
  if (rest.size() - label_end != kDashes.size()) {
    return std::nullopt;
  }
  return rest.substr(0, label_end);
}

std::string no_end_line(std::string_view label) {
  std::string text = "the ";
  text.append(label).append(" section has no \"");
  text.append(kEndPrefix).append(label).append(kDashes).append("\" line");
  return text;
}

// Returns the DER of the first CERTIFICATE section, nullopt when there is
// none, or the description of the first fault.
std::expected<std::optional<std::vector<std::uint8_t>>, std::string> first_certificate(
    std::string_view pem) {
  std::optional<std::string> label;
  std::string body;
  while (!pem.empty()) {
    const std::string_view line = next_line(pem);
    if (line.starts_with(kBeginPrefix)) {
      const std::optional<std::string_view> opened = begin_label(line);
      if (!opened) {
        return std::unexpected("a \"" + std::string(kBeginPrefix) +
                               "\" line does not close its label with exactly five dashes");
      }
      label = std::string(*opened);
      body.clear();
      continue;
    }
    if (!label) {
      continue;
    }
    if (line.starts_with(std::string(kEndPrefix) + *label + std::string(kDashes))) {
      if (is_known_label(*label)) {
        auto der = decode_base64(body);
        if (!der) {
          return std::unexpected("the " + *label + " section is not Base64: " + der.error());
        }
        if (*label == kCertificateLabel) {
          return std::move(*der);
        }
      }
      label.reset();
      body.clear();
      continue;
    }
    for (char c : line) {
      if (!is_pem_space(c)) {
        body.push_back(c);
      }
    }
    if (body.size() > PEM_BODY_LIMIT) {
      return std::unexpected("the " + *label + " section is larger than " +
                             std::to_string(PEM_BODY_LIMIT) + " bytes");
    }
  }
  if (label) {
    return std::unexpected(no_end_line(*label));
  }
  return std::nullopt;
}

}  // namespace

std::expected<TrustMaterial, std::string> load_trust_material() {
  return load_trust_material_from(BOX_CA_PEM, MANIFEST_PUBLIC_KEY);
}

std::expected<TrustMaterial, std::string> load_trust_material_from(
    std::string_view ca_pem, std::string_view public_key_text) {
  auto certificate = first_certificate(ca_pem);
  if (!certificate) {
    return std::unexpected("unreadable certificate: " + certificate.error());
  }
  if (!*certificate) {
    return std::unexpected("no certificate in this PEM");
  }
  return TrustMaterial{std::move(**certificate), std::string(public_key_text)};
}

}  // namespace ostrevane
