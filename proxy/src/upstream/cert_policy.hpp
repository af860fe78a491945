#pragma once

#include <openssl/ssl.h>

#include <string>

namespace ostrevane {

// Makes every handshake of `ctx` verify the server's chain with OpenSSL,
// forgiving nothing but the anchor's own validity dates, key usage and basic
// constraints, and then by the box's own rules, whatever the library's
// security level: every key RSA of 2048 to 8192 bits, EC on P-256 or P-384 as
// an uncompressed point, or Ed25519; every signature but the anchor's own
// ECDSA with SHA-256 or SHA-384, Ed25519, RSA PKCS#1 v1.5 with SHA-256,
// SHA-384 or SHA-512 (NULL or absent parameters), or RSA-PSS with one of those
// digests as TLS uses it; every issuer name but the anchor's own the DER bytes
// of the next certificate's subject; at most 6 intermediate certificates; the
// end-entity certificate no CA.
void apply_certificate_policy(SSL_CTX* ctx);

// Returns the text of the certificate verification result of `ssl`: the
// box's rule that refused the chain ("signature algorithm not accepted:
// ecdsa-with-SHA512"), else OpenSSL's text.
std::string verify_result_text(const SSL* ssl);

}  // namespace ostrevane
