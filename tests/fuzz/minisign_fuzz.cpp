// The signature and public-key parsers read text from the network and from files: any bytes
// must be refused or read, never crash, and what they read must read back the same when written
// out again. A signature that parses is also checked against a fixed key and package, and its
// trusted comment, signed with a key of the target's own, must be accepted exactly when it names
// the version asked for.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "Launcher/Minisign.h"

namespace {
namespace minisign = launcher::minisign;

using fuzz::fail;

// A small package file for signatures that read the package again; removed at exit.
struct PackageFile {
  std::filesystem::path path;
  PackageFile() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "minisign-fuzz-XXXXXX").string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) std::abort();
    ::close(fd);
    std::ofstream(pattern, std::ios::binary) << "package";
    path = pattern;
  }
  ~PackageFile() { ::unlink(path.c_str()); }
};

const std::filesystem::path& package() {
  static const PackageFile file;
  return file.path;
}

// A key pair of the target's own, made once, to sign the trusted comments it reads.
struct Signer {
  minisign::SecretKey secret;
  minisign::PublicKey key;
  Signer() {
    const auto made = minisign::generateKeyPair("fuzz");
    if (!made) fail("cannot make a key pair: " + made.error());
    const auto secretKey = minisign::parseSecretKey(made->secretKeyFile);
    const auto publicKey = minisign::parsePublicKey(made->publicKeyLine);
    if (!secretKey || !publicKey) fail("the key pair made does not read back");
    secret = *secretKey;
    key = *publicKey;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (const auto key = minisign::parsePublicKey(text)) {
    const auto again = minisign::parsePublicKey(minisign::publicKeyLine(*key));
    if (!again || again->id != key->id || again->key != key->key)
      fail("a public key reads back differently");
  }

  if (const auto signature = minisign::parseSignature(text)) {
    const auto again = minisign::parseSignature(minisign::signatureText(*signature, "again"));
    if (!again || again->algorithm != signature->algorithm || again->keyId != signature->keyId ||
        again->signature != signature->signature ||
        again->trustedComment != signature->trustedComment ||
        again->globalSignature != signature->globalSignature)
      fail("a signature reads back differently");
    minisign::PublicKey key;
    key.id = signature->keyId;
    minisign::PackageVerifier verifier(key, *signature, 42);
    verifier.update(data, size);
    // Random bytes never make an Ed25519 signature of this key.
    if (!verifier.finish(package())) fail("a made-up signature was accepted");

    // The same trusted comment, truly signed: the package is accepted exactly when the comment
    // names the version asked for, read as the launcher reads the version it names.
    static const Signer signer;
    if (const auto text = minisign::signFile(signer.secret, package(), signature->trustedComment)) {
      const auto made = minisign::parseSignature(*text);
      if (!made || made->trustedComment != signature->trustedComment)
        fail("a signature made for a trusted comment does not read back");
      minisign::PackageVerifier check(signer.key, *made, 42);
      check.update("package", 7);
      const bool accepted = !check.finish(package());
      if (accepted != (minisign::signedVersion(signature->trustedComment) == 42))
        fail("the version of a signed trusted comment is read two ways");
    }
  }

  static_cast<void>(minisign::parseSecretKey(text));
  return 0;
}
