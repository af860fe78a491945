// ostrevane-make-trust DIR: makes the trust material of a test build. Writes a
// root CA (DIR/ca.pem and its key DIR/ca.key.pem) and a manifest signing key
// (DIR/manifest.pub, two lines ending in CR LF as the program holds them, and
// DIR/manifest.key, the secret in the test signer's own format).

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "testsupport/minisign_signer.hpp"
#include "testsupport/test_pki.hpp"

namespace {

namespace fs = std::filesystem;

// Returns `text` with every LF line end turned into CR LF.
std::string crlf_lines(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') {
      out += '\r';
    }
    out += c;
  }
  return out;
}

void write_file(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  try {
    const fs::path dir = argv[1];
    fs::create_directories(dir);
    const ostrevane::test::TestCa ca("Ostrevane Demo Box CA");
    const ostrevane::test::MinisignSigner signer;
    // The secrets first: the public files are the build's outputs, so a build
    // that sees them also finds the secrets that go with them.
    write_file(dir / "ca.key.pem", ca.root().key_pem());
    write_file(dir / "manifest.key", signer.secret_text());
    write_file(dir / "ca.pem", ca.root().pem());
    write_file(dir / "manifest.pub", crlf_lines(signer.public_key_text()));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", argv[0], error.what());
    return 1;
  }
  return 0;
}
