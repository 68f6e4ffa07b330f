#pragma once
// Ed25519 signatures of packages in minisign's file formats, so that a publisher can sign with
// either launcher-feed or the minisign tool and check with either.
//
// A signature file (.minisig) holds four lines:
//   untrusted comment: <text>
//   base64("ED" | key id (8) | Ed25519 signature (64))
//   trusted comment: <text>
//   base64(Ed25519 signature (64) of the signature above followed by the trusted comment text)
// "ED" signs the BLAKE2b-512 digest of the file, computed while its bytes arrive; the legacy
// "Ed" signs the whole file, which therefore has to be read again once it is complete.
// The launcher accepts a package only when its trusted comment carries "version:<N>" for the
// version it asked for, so an old signed package cannot be offered as a newer one.
#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace launcher::minisign {

// Key ids are stored as 8 bytes and shown, as minisign shows them, as the little-endian number
// they form in upper-case hexadecimal, without leading zeros.
using KeyId = std::array<unsigned char, 8>;
std::string keyIdText(const KeyId& id);

struct PublicKey {
  KeyId id{};
  std::array<unsigned char, 32> key{};
};

enum class Algorithm {
  Prehashed,  // "ED": Ed25519 over the BLAKE2b-512 digest of the file
  Legacy,     // "Ed": Ed25519 over the whole file
};

struct Signature {
  Algorithm algorithm = Algorithm::Prehashed;
  KeyId keyId{};
  std::array<unsigned char, 64> signature{};
  // The bytes after "trusted comment: ", without the line end.
  std::string trustedComment;
  // Ed25519 over `signature` followed by `trustedComment`.
  std::array<unsigned char, 64> globalSignature{};
};

// An Ed25519 secret key with its id; the key bytes are wiped when the object goes away.
class SecretKey {
 public:
  SecretKey() = default;
  SecretKey(const SecretKey& other);
  SecretKey& operator=(const SecretKey& other);
  ~SecretKey();

  KeyId id{};
  std::array<unsigned char, 64> key{};  // libsodium's layout: seed (32) | public key (32)
};

// A value, or one line saying why there is none.
template <typename T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}
  static Result failure(std::string reason) { return Result(Failed{}, std::move(reason)); }
  explicit operator bool() const { return value_.has_value(); }
  const T& operator*() const { return *value_; }
  T& operator*() { return *value_; }
  const T* operator->() const { return &*value_; }
  const std::string& error() const { return error_; }

 private:
  struct Failed {};
  Result(Failed, std::string reason) : error_(std::move(reason)) {}
  std::optional<T> value_;
  std::string error_;
};

// --- Reading (launcher and publisher) ---

// A public key: its base64 line alone (as compiled into the launcher) or a whole .pub file
// ("untrusted comment: ..." then the base64 line). Surrounding white space is ignored.
Result<PublicKey> parsePublicKey(std::string_view text);

// The text of a .minisig file, as carried in the version document. Strict about the layout:
// the four lines in order with their exact prefixes, base64 of exactly the right sizes, a known
// algorithm; carriage returns before a line feed and a missing final line feed are accepted. Texts
// over 16 KiB are refused. Never throws; depends on nothing but its input.
Result<Signature> parseSignature(std::string_view minisigText);

// The version that a trusted comment names ("version:<N>", a whole number above 0, named once);
// nothing otherwise. Says nothing of whether the comment is authentic: PackageVerifier does.
std::optional<std::int64_t> signedVersion(std::string_view trustedComment);

// Checks a package against a signature while it is written. Feed every byte of the package to
// `update` in order as it arrives, then call `finish` once with the complete package's path.
// A prehashed signature needs nothing more; a legacy one reads the file again there.
class PackageVerifier {
 public:
  PackageVerifier(const PublicKey& key, Signature signature, std::int64_t expectedVersion);
  ~PackageVerifier();
  PackageVerifier(PackageVerifier&&) noexcept;
  PackageVerifier& operator=(PackageVerifier&&) noexcept;

  // True when `finish` reads the whole package again (a legacy signature).
  bool readsPackageAtFinish() const;
  void update(const void* data, std::size_t size);
  // Nothing when the package is authentic and signed for the expected version; otherwise the
  // first reason found, checking in this order: the key id, the package signature, the
  // trusted comment's signature, the version named in the trusted comment.
  std::optional<std::string> finish(const std::filesystem::path& package);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// --- Signing (publisher) ---

struct KeyPairFiles {
  std::string publicKeyFile;  // "untrusted comment: <comment> public key <id>\n<base64>\n"
  std::string secretKeyFile;  // unencrypted, checksummed, as `minisign -G -W` reads it
  std::string publicKeyLine;  // the base64 line alone
  KeyId id{};
};

// A new key pair with a random key id. `comment` goes into both files' untrusted comments
// (control characters become spaces).
Result<KeyPairFiles> generateKeyPair(std::string_view comment);

// The text of a secret key file. An encrypted key is refused: sign with an unencrypted one or
// with minisign itself.
Result<SecretKey> parseSecretKey(std::string_view text);

// The base64 line of a public key, and of the first line of a signature and its global
// signature: what the files above are made of.
std::string publicKeyLine(const PublicKey& key);
// A .minisig text for `signature` with the given untrusted comment.
std::string signatureText(const Signature& signature, std::string_view untrustedComment);

// Signs the file at `path` (read in pieces, never whole) with a prehashed "ED" signature and
// the one-line `trustedComment`; the .minisig text.
Result<std::string> signFile(const SecretKey& key, const std::filesystem::path& path,
                             std::string_view trustedComment);

}  // namespace launcher::minisign
