#pragma once

#include <openssl/ssl.h>

#include <string>
#include <string_view>

namespace ostrevane {

// Returns true for a name a TLS client may send as a DNS server name: labels
// of 1 to 63 letters, digits, '-' and '_', not starting or ending with '-', at
// most 253 bytes (one final dot allowed), the last label not all digits.
bool is_dns_name(std::string_view name);

// Makes `host` the server name of the connection `ssl`: as SNI and as the name
// the certificate's subjectAltName must carry when it is a DNS name (never its
// common name), as the address it must carry when it is an IP literal. Returns false when it is
// neither ("invalid dns name").
[[nodiscard]] bool set_server_name(SSL* ssl, const std::string& host);

}  // namespace ostrevane
