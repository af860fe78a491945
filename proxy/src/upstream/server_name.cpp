#include "proxy/src/upstream/server_name.hpp"

#include <openssl/x509v3.h>

#include <boost/asio/ip/address.hpp>

namespace ostrevane {
namespace {

bool is_dns_label_byte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

}  // namespace

bool is_dns_name(std::string_view name) {
  if (!name.empty() && name.back() == '.') {
    name.remove_suffix(1);
  }
  if (name.empty() || name.size() > 253) {
    return false;
  }
  std::string_view last_label;
  while (true) {
    const std::size_t dot = name.find('.');
    const std::string_view label = name.substr(0, dot);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') {
      return false;
    }
    for (char c : label) {
      if (!is_dns_label_byte(c)) {
        return false;
      }
    }
    last_label = label;
    if (dot == std::string_view::npos) {
      break;
    }
    name.remove_prefix(dot + 1);
  }
  return last_label.find_first_not_of("0123456789") != std::string_view::npos;
}

bool set_server_name(SSL* ssl, const std::string& host) {
  std::string bare = host;
  if (bare.size() >= 2 && bare.front() == '[' && bare.back() == ']') {
    bare = bare.substr(1, bare.size() - 2);
  }
  boost::system::error_code not_ip;
  boost::asio::ip::make_address(bare, not_ip);
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  if (!not_ip) {
    return X509_VERIFY_PARAM_set1_ip_asc(param, bare.c_str()) == 1;
  }
  if (!is_dns_name(host)) {
    return false;
  }
  // The subjectAltName's DNS names only: OpenSSL would otherwise fall back on
  // the subject's common name when the certificate has none.
  X509_VERIFY_PARAM_set_hostflags(
      param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
  return X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size()) == 1 &&
         SSL_set_tlsext_host_name(ssl, host.c_str()) == 1;
}

}  // namespace ostrevane
