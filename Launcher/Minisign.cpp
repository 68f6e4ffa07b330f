#include "Launcher/Minisign.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <system_error>
#include <variant>
#include <vector>

#include "Launcher/platform/FileManager.h"
#include "Launcher/platform/UniqueFd.h"

namespace launcher::minisign {
namespace {
namespace fs = std::filesystem;

constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr std::string_view kPrehashedId = "ED";
constexpr std::string_view kLegacyId = "Ed";
constexpr std::string_view kNoKdf{"\0\0", 2};
constexpr std::string_view kScryptKdf = "Sc";
constexpr std::string_view kBlake2Checksum = "B2";

constexpr std::size_t kPublicKeyBytes = 2 + 8 + crypto_sign_PUBLICKEYBYTES;
constexpr std::size_t kSignatureLineBytes = 2 + 8 + crypto_sign_BYTES;
constexpr std::size_t kChecksumBytes = 32;
constexpr std::size_t kKdfSaltBytes = 32;
// "Ed" | kdf | checksum kind | salt | opslimit | memlimit | key id | secret key | checksum
constexpr std::size_t kSecretKeyBytes =
    2 + 2 + 2 + kKdfSaltBytes + 8 + 8 + 8 + crypto_sign_SECRETKEYBYTES + kChecksumBytes;
constexpr std::size_t kKeyIdAt = 2 + 2 + 2 + kKdfSaltBytes + 8 + 8;
constexpr std::size_t kDigestBytes = crypto_generichash_blake2b_BYTES_MAX;

// Bounds on what is read: far above what the tools write, far below what could hurt.
constexpr std::size_t kMaxSignatureText = std::size_t{16} * 1024;
constexpr std::size_t kMaxKeyText = std::size_t{4} * 1024;
// minisign refuses to read a trusted comment of 8174 bytes or more: we sign none that long.
constexpr std::size_t kMaxSignedComment = 8173;
constexpr std::size_t kReadPiece = std::size_t{64} * 1024;

static_assert(crypto_sign_PUBLICKEYBYTES == 32 && crypto_sign_SECRETKEYBYTES == 64 &&
              crypto_sign_BYTES == 64);

bool sodiumReady() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

const std::string kSodiumUnavailable = "the cryptography library could not be initialised";

// A value shown inside a one-line message: quoted, control characters replaced.
std::string inQuotes(std::string_view text) {
  std::string result = "\"";
  for (const char c : text) result += std::iscntrl(static_cast<unsigned char>(c)) ? '?' : c;
  return result + "\"";
}

std::string_view asText(const unsigned char* bytes, std::size_t size) {
  return {reinterpret_cast<const char*>(bytes), size};
}

// A byte buffer wiped when it goes away, since it may hold key material.
class WipedBuffer {
 public:
  explicit WipedBuffer(std::size_t size) : bytes_(size) {}
  ~WipedBuffer() { sodium_memzero(bytes_.data(), bytes_.size()); }
  WipedBuffer(const WipedBuffer&) = delete;
  WipedBuffer& operator=(const WipedBuffer&) = delete;
  unsigned char* data() { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }
  void resize(std::size_t size) { bytes_.resize(std::min(size, bytes_.size())); }

 private:
  std::vector<unsigned char> bytes_;
};

std::string toBase64(const unsigned char* bytes, std::size_t size) {
  std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
  text.resize(text.size() - 1);  // the terminating NUL
  return text;
}

// Decodes standard padded base64 into `out`, which is resized to the decoded length. False
// when any character of `text` is not part of it.
bool fromBase64(std::string_view text, WipedBuffer& out) {
  // libsodium's decoder lets some bytes above 0x7F through as if they were digits.
  const auto isDigit = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/' || c == '=';
  };
  if (!std::all_of(text.begin(), text.end(), isDigit)) return false;
  if (text.empty()) {
    out.resize(0);
    return true;
  }
  std::size_t length = 0;
  if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length, nullptr,
                        sodium_base64_VARIANT_ORIGINAL) != 0)
    return false;
  out.resize(length);
  return true;
}

// Decodes `text`, which must hold exactly `size` bytes; otherwise says what is wrong with
// `what`.
std::optional<std::string> decodeExactly(std::string_view text, std::size_t size,
                                         std::string_view what, WipedBuffer& out) {
  // Room for a few bytes more than expected, so that a slightly longer value is reported with
  // its size rather than as bad text.
  WipedBuffer decoded(std::min(text.size(), size + 3));
  if (!fromBase64(text, decoded)) {
    if (text.size() / 4 * 3 > size + 3)  // too long to fit, whatever its characters
      return std::string(what) + " is too long";
    return std::string(what) + " is not valid base64";
  }
  if (decoded.size() != size)
    return std::string(what) + " holds " + std::to_string(decoded.size()) + " bytes, not " +
           std::to_string(size);
  std::memcpy(out.data(), decoded.data(), size);
  return std::nullopt;
}

// Takes the next line off `rest`: without its "\n" and the "\r"s before it, as minisign reads
// it (so that a trusted comment reads back as it is written). Nothing when `rest` is empty.
std::optional<std::string_view> takeLine(std::string_view& rest) {
  if (rest.empty()) return std::nullopt;
  const std::size_t end = rest.find('\n');
  std::string_view line = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

std::string_view trimmed(std::string_view text) {
  const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return text;
}

// The base64 line of a key file: "untrusted comment: ..." then the line, nothing after it.
// A text without a line feed is the base64 line itself when `bareAllowed`.
std::variant<std::string_view, std::string> keyLine(std::string_view text, std::string_view what,
                                                    bool bareAllowed) {
  text = trimmed(text);
  if (text.find('\n') == std::string_view::npos) {
    if (bareAllowed) return text;
    return std::string(what) + " file has no key line after its comment";
  }
  const auto comment = takeLine(text);
  if (!comment->starts_with(kUntrustedPrefix))
    return std::string(what) + " file does not begin with " + inQuotes(kUntrustedPrefix);
  const auto line = takeLine(text);
  if (!text.empty()) return std::string(what) + " file has more than two lines";
  return *line;
}

std::string keyOutOfPlace(const std::string& what, std::string_view algorithm) {
  return what + " is not an Ed25519 key in minisign's format (it begins with " +
         inQuotes(algorithm) + ", not \"Ed\")";
}

// The text after "version:" of the one whole token of the trusted comment that starts with it:
// nothing when no token does, `several` when more than one does.
struct NamedVersion {
  std::optional<std::string_view> text;
  bool several = false;
};

NamedVersion namedVersion(std::string_view comment) {
  constexpr std::string_view kVersionTag = "version:";
  NamedVersion named;
  std::size_t at = 0;
  while (at < comment.size()) {
    const std::size_t end = std::min(comment.find_first_of(" \t", at), comment.size());
    const std::string_view token = comment.substr(at, end - at);
    if (token.starts_with(kVersionTag)) {
      if (named.text) return {.text = std::nullopt, .several = true};
      named.text = token.substr(kVersionTag.size());
    }
    at = end + 1;
  }
  return named;
}

// The version the trusted comment names, compared with `expected`.
std::optional<std::string> versionProblem(std::string_view comment, std::int64_t expected) {
  const NamedVersion named = namedVersion(comment);
  if (named.several) return "the trusted comment names more than one version";
  const std::string wanted = std::to_string(expected);
  if (!named.text)
    return "the trusted comment names no version (\"version:" + wanted + "\" was expected)";
  std::string_view digits = *named.text;
  while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
  if (digits != wanted) {
    const bool plain =
        !digits.empty() && digits.size() <= 20 &&
        std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    return "the package is signed for version " +
           (plain ? std::string(digits) : inQuotes(*named.text)) + ", not " + wanted;
  }
  return std::nullopt;
}

// A whole file mapped read-only; an empty file maps to nothing.
class MappedFile {
 public:
  explicit MappedFile(const fs::path& path) {
    fd_ = platform::UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (!fd_ || ::fstat(fd_.get(), &status) != 0) {
      error_ = errno;
      return;
    }
    if (!S_ISREG(status.st_mode)) {
      error_ = EINVAL;
      return;
    }
    if (status.st_size == 0) return;
    void* bytes = ::mmap(nullptr, static_cast<std::size_t>(status.st_size), PROT_READ, MAP_PRIVATE,
                         fd_.get(), 0);
    if (bytes == MAP_FAILED) {
      error_ = errno;
      return;
    }
    bytes_ = static_cast<const unsigned char*>(bytes);
    size_ = static_cast<std::size_t>(status.st_size);
  }
  ~MappedFile() {
    if (bytes_) ::munmap(const_cast<unsigned char*>(bytes_), size_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  int error() const { return error_; }
  const unsigned char* data() const { return bytes_; }
  std::size_t size() const { return size_; }

 private:
  platform::UniqueFd fd_;
  int error_ = 0;
  const unsigned char* bytes_ = nullptr;
  std::size_t size_ = 0;
};

std::string oneLine(std::string_view text) {
  std::string result(text);
  for (char& c : result)
    if (std::iscntrl(static_cast<unsigned char>(c))) c = ' ';
  return result;
}

}  // namespace

std::optional<std::int64_t> signedVersion(std::string_view trustedComment) {
  const NamedVersion named = namedVersion(trustedComment);
  if (!named.text) return std::nullopt;
  const std::string_view digits = *named.text;
  std::int64_t number = 0;
  const auto [next, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc() || next != digits.data() + digits.size() || number <= 0)
    return std::nullopt;
  return number;
}

std::string keyIdText(const KeyId& id) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (auto byte = id.rbegin(); byte != id.rend(); ++byte) {
    text += kHex[*byte >> 4];
    text += kHex[*byte & 0x0f];
  }
  // As minisign prints it: a hexadecimal number, without leading zeros.
  const auto first = text.find_first_not_of('0');
  return first == std::string::npos ? "0" : text.substr(first);
}

SecretKey::SecretKey(const SecretKey& other) : id(other.id), key(other.key) {}

SecretKey& SecretKey::operator=(const SecretKey& other) {
  id = other.id;
  key = other.key;
  return *this;
}

SecretKey::~SecretKey() {
  sodium_memzero(key.data(), key.size());
}

// --- Reading ---

Result<PublicKey> parsePublicKey(std::string_view text) {
  if (text.size() > kMaxKeyText) return Result<PublicKey>::failure("the public key is too long");
  auto line = keyLine(text, "the public key", true);
  if (auto* problem = std::get_if<std::string>(&line))
    return Result<PublicKey>::failure(std::move(*problem));
  WipedBuffer bytes(kPublicKeyBytes);
  if (auto problem =
          decodeExactly(std::get<std::string_view>(line), kPublicKeyBytes, "the public key", bytes))
    return Result<PublicKey>::failure(std::move(*problem));
  if (asText(bytes.data(), 2) != kLegacyId)
    return Result<PublicKey>::failure(keyOutOfPlace("the public key", asText(bytes.data(), 2)));
  PublicKey key;
  std::memcpy(key.id.data(), bytes.data() + 2, key.id.size());
  std::memcpy(key.key.data(), bytes.data() + 2 + key.id.size(), key.key.size());
  return key;
}

Result<Signature> parseSignature(std::string_view text) {
  using R = Result<Signature>;
  if (text.size() > kMaxSignatureText)
    return R::failure("the signature is longer than " + std::to_string(kMaxSignatureText) +
                      " bytes");
  std::string_view rest = text;
  const auto untrusted = takeLine(rest);
  if (!untrusted || !untrusted->starts_with(kUntrustedPrefix))
    return R::failure("the signature does not begin with " + inQuotes(kUntrustedPrefix));
  const auto signatureLine = takeLine(rest);
  if (!signatureLine) return R::failure("the signature line is missing");
  WipedBuffer bytes(kSignatureLineBytes);
  if (auto problem =
          decodeExactly(*signatureLine, kSignatureLineBytes, "the signature line", bytes))
    return R::failure(std::move(*problem));
  const std::string_view algorithm = asText(bytes.data(), 2);
  Signature signature;
  if (algorithm == kPrehashedId)
    signature.algorithm = Algorithm::Prehashed;
  else if (algorithm == kLegacyId)
    signature.algorithm = Algorithm::Legacy;
  else
    return R::failure("the signature uses an unknown algorithm " + inQuotes(algorithm) +
                      " (\"ED\" or \"Ed\" expected)");
  std::memcpy(signature.keyId.data(), bytes.data() + 2, signature.keyId.size());
  std::memcpy(signature.signature.data(), bytes.data() + 2 + signature.keyId.size(),
              signature.signature.size());

  const auto trusted = takeLine(rest);
  if (!trusted) return R::failure("the trusted comment is missing");
  if (!trusted->starts_with(kTrustedPrefix))
    return R::failure("the third line of the signature does not begin with " +
                      inQuotes(kTrustedPrefix));
  signature.trustedComment = std::string(trusted->substr(kTrustedPrefix.size()));
  const auto globalLine = takeLine(rest);
  if (!globalLine) return R::failure("the global signature is missing");
  WipedBuffer global(crypto_sign_BYTES);
  if (auto problem = decodeExactly(*globalLine, crypto_sign_BYTES, "the global signature", global))
    return R::failure(std::move(*problem));
  std::memcpy(signature.globalSignature.data(), global.data(), crypto_sign_BYTES);
  if (!rest.empty()) return R::failure("the signature has more than four lines");
  return signature;
}

struct PackageVerifier::State {
  PublicKey key;
  Signature signature;
  std::int64_t expectedVersion = 0;
  crypto_generichash_blake2b_state hash{};
  bool hashing = false;  // the digest has been started and every update succeeded
  bool finished = false;
};

PackageVerifier::PackageVerifier(const PublicKey& key, Signature signature,
                                 std::int64_t expectedVersion)
    : state_(std::make_unique<State>()) {
  state_->key = key;
  state_->signature = std::move(signature);
  state_->expectedVersion = expectedVersion;
  if (state_->signature.algorithm == Algorithm::Prehashed && sodiumReady())
    state_->hashing = crypto_generichash_blake2b_init(&state_->hash, nullptr, 0, kDigestBytes) == 0;
}

PackageVerifier::~PackageVerifier() = default;
PackageVerifier::PackageVerifier(PackageVerifier&&) noexcept = default;
PackageVerifier& PackageVerifier::operator=(PackageVerifier&&) noexcept = default;

bool PackageVerifier::readsPackageAtFinish() const {
  return state_->signature.algorithm == Algorithm::Legacy;
}

void PackageVerifier::update(const void* data, std::size_t size) {
  if (!state_->hashing || state_->finished || size == 0) return;
  if (crypto_generichash_blake2b_update(&state_->hash, static_cast<const unsigned char*>(data),
                                        size) != 0)
    state_->hashing = false;
}

std::optional<std::string> PackageVerifier::finish(const fs::path& package) {
  State& state = *state_;
  if (state.finished) return "the package was already checked once with this signature";
  state.finished = true;
  if (!sodiumReady()) return kSodiumUnavailable;
  const Signature& signature = state.signature;
  const unsigned char* publicKey = state.key.key.data();

  if (signature.keyId != state.key.id)
    return "the package was signed with another key (key id " + keyIdText(signature.keyId) +
           ", expected " + keyIdText(state.key.id) + ")";

  bool authentic = false;
  if (signature.algorithm == Algorithm::Prehashed) {
    unsigned char digest[kDigestBytes];
    if (!state.hashing || crypto_generichash_blake2b_final(&state.hash, digest, sizeof digest) != 0)
      return "the package's digest could not be computed";
    authentic = crypto_sign_verify_detached(signature.signature.data(), digest, sizeof digest,
                                            publicKey) == 0;
  } else {
    const MappedFile file(package);
    if (file.error() != 0)
      return "cannot read the package " + inQuotes(package.string()) + ": " +
             platform::describeErrno(file.error());
    // The algorithm's name is not covered by the global signature: a prehashed signature
    // relabelled as legacy is a valid signature of the 64-byte digest of the signed package.
    if (file.size() == kDigestBytes)
      return std::string(
          "a package of 64 bytes cannot be checked with a legacy signature: it "
          "could be the digest of the signed package");
    authentic = crypto_sign_verify_detached(signature.signature.data(), file.data(), file.size(),
                                            publicKey) == 0;
  }
  if (!authentic) return "the signature does not match the package";

  std::string signedComment(asText(signature.signature.data(), signature.signature.size()));
  signedComment += signature.trustedComment;
  if (crypto_sign_verify_detached(signature.globalSignature.data(),
                                  reinterpret_cast<const unsigned char*>(signedComment.data()),
                                  signedComment.size(), publicKey) != 0)
    return "the trusted comment is not signed by the key";

  return versionProblem(signature.trustedComment, state.expectedVersion);
}

// --- Signing ---

std::string publicKeyLine(const PublicKey& key) {
  unsigned char bytes[kPublicKeyBytes];
  std::memcpy(bytes, kLegacyId.data(), 2);
  std::memcpy(bytes + 2, key.id.data(), key.id.size());
  std::memcpy(bytes + 2 + key.id.size(), key.key.data(), key.key.size());
  return toBase64(bytes, sizeof bytes);
}

std::string signatureText(const Signature& signature, std::string_view untrustedComment) {
  unsigned char line[kSignatureLineBytes];
  const std::string_view algorithm =
      signature.algorithm == Algorithm::Prehashed ? kPrehashedId : kLegacyId;
  std::memcpy(line, algorithm.data(), 2);
  std::memcpy(line + 2, signature.keyId.data(), signature.keyId.size());
  std::memcpy(line + 2 + signature.keyId.size(), signature.signature.data(),
              signature.signature.size());
  return std::string(kUntrustedPrefix) + oneLine(untrustedComment) + "\n" +
         toBase64(line, sizeof line) + "\n" + std::string(kTrustedPrefix) +
         signature.trustedComment + "\n" +
         toBase64(signature.globalSignature.data(), signature.globalSignature.size()) + "\n";
}

Result<KeyPairFiles> generateKeyPair(std::string_view comment) {
  using R = Result<KeyPairFiles>;
  if (!sodiumReady()) return R::failure(kSodiumUnavailable);
  PublicKey publicKey;
  SecretKey secretKey;
  if (crypto_sign_keypair(publicKey.key.data(), secretKey.key.data()) != 0)
    return R::failure("cannot generate a key pair");
  randombytes_buf(publicKey.id.data(), publicKey.id.size());
  secretKey.id = publicKey.id;

  WipedBuffer bytes(kSecretKeyBytes);
  std::memset(bytes.data(), 0, bytes.size());  // no key derivation: salt and limits stay zero
  std::memcpy(bytes.data(), kLegacyId.data(), 2);
  std::memcpy(bytes.data() + 2, kNoKdf.data(), 2);
  std::memcpy(bytes.data() + 4, kBlake2Checksum.data(), 2);
  unsigned char* id = bytes.data() + kKeyIdAt;
  std::memcpy(id, secretKey.id.data(), secretKey.id.size());
  unsigned char* key = id + secretKey.id.size();
  std::memcpy(key, secretKey.key.data(), secretKey.key.size());
  // The checksum covers "Ed", the key id and the secret key.
  WipedBuffer summed(2 + secretKey.id.size() + secretKey.key.size());
  std::memcpy(summed.data(), kLegacyId.data(), 2);
  std::memcpy(summed.data() + 2, id, summed.size() - 2);
  if (crypto_generichash(key + secretKey.key.size(), kChecksumBytes, summed.data(), summed.size(),
                         nullptr, 0) != 0)
    return R::failure("cannot compute the secret key's checksum");

  const std::string label = oneLine(comment);
  KeyPairFiles files;
  files.id = publicKey.id;
  files.publicKeyLine = publicKeyLine(publicKey);
  files.publicKeyFile = std::string(kUntrustedPrefix) + label + " public key " +
                        keyIdText(publicKey.id) + "\n" + files.publicKeyLine + "\n";
  files.secretKeyFile = std::string(kUntrustedPrefix) + label + " secret key\n" +
                        toBase64(bytes.data(), bytes.size()) + "\n";
  return files;
}

Result<SecretKey> parseSecretKey(std::string_view text) {
  using R = Result<SecretKey>;
  if (text.size() > kMaxKeyText) return R::failure("the secret key is too long");
  if (!sodiumReady()) return R::failure(kSodiumUnavailable);
  auto line = keyLine(text, "the secret key", false);
  if (auto* problem = std::get_if<std::string>(&line)) return R::failure(std::move(*problem));
  WipedBuffer bytes(kSecretKeyBytes);
  if (auto problem =
          decodeExactly(std::get<std::string_view>(line), kSecretKeyBytes, "the secret key", bytes))
    return R::failure(std::move(*problem));
  if (asText(bytes.data(), 2) != kLegacyId)
    return R::failure(keyOutOfPlace("the secret key", asText(bytes.data(), 2)));
  const std::string_view kdf = asText(bytes.data() + 2, 2);
  if (kdf == kScryptKdf)
    return R::failure(
        "the secret key is encrypted with a password; use an unencrypted key (launcher-feed "
        "keygen, or minisign -G -W) or sign the package with minisign");
  if (kdf != kNoKdf)
    return R::failure("the secret key uses an unknown key derivation " + inQuotes(kdf));
  if (asText(bytes.data() + 4, 2) != kBlake2Checksum)
    return R::failure("the secret key uses an unknown checksum " +
                      inQuotes(asText(bytes.data() + 4, 2)));

  SecretKey key;
  const unsigned char* id = bytes.data() + kKeyIdAt;
  std::memcpy(key.id.data(), id, key.id.size());
  std::memcpy(key.key.data(), id + key.id.size(), key.key.size());
  const unsigned char* checksum = id + key.id.size() + key.key.size();

  // minisign leaves the checksum of an unencrypted key zero; any other value must match.
  if (!sodium_is_zero(checksum, kChecksumBytes)) {
    WipedBuffer summed(2 + key.id.size() + key.key.size());
    std::memcpy(summed.data(), kLegacyId.data(), 2);
    std::memcpy(summed.data() + 2, id, summed.size() - 2);
    unsigned char expected[kChecksumBytes];
    if (crypto_generichash(expected, sizeof expected, summed.data(), summed.size(), nullptr, 0) !=
        0)
      return R::failure("cannot compute the secret key's checksum");
    if (sodium_memcmp(expected, checksum, kChecksumBytes) != 0)
      return R::failure("the secret key's checksum does not match: the key file is damaged");
  }
  // Its second half is the public key of its first.
  unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
  SecretKey derived;
  if (crypto_sign_seed_keypair(publicKey, derived.key.data(), key.key.data()) != 0 ||
      sodium_memcmp(derived.key.data(), key.key.data(), key.key.size()) != 0)
    return R::failure("the secret key is damaged: its public half does not belong to it");
  return key;
}

Result<std::string> signFile(const SecretKey& key, const fs::path& path,
                             std::string_view trustedComment) {
  using R = Result<std::string>;
  if (!sodiumReady()) return R::failure(kSodiumUnavailable);
  if (trustedComment.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
    return R::failure("the trusted comment must be one line");
  if (trustedComment.size() > kMaxSignedComment)
    return R::failure("the trusted comment is longer than " + std::to_string(kMaxSignedComment) +
                      " bytes");

  const platform::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file)
    return R::failure("cannot open " + inQuotes(path.string()) + ": " +
                      platform::describeErrno(errno));
  crypto_generichash_blake2b_state hash;
  if (crypto_generichash_blake2b_init(&hash, nullptr, 0, kDigestBytes) != 0)
    return R::failure("cannot start the package's digest");
  std::vector<unsigned char> piece(kReadPiece);
  for (;;) {
    const ssize_t count = ::read(file.get(), piece.data(), piece.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0)
      return R::failure("cannot read " + inQuotes(path.string()) + ": " +
                        platform::describeErrno(errno));
    if (count == 0) break;
    if (crypto_generichash_blake2b_update(&hash, piece.data(),
                                          static_cast<unsigned long long>(count)) != 0)
      return R::failure("cannot compute the package's digest");
  }
  unsigned char digest[kDigestBytes];
  if (crypto_generichash_blake2b_final(&hash, digest, sizeof digest) != 0)
    return R::failure("cannot compute the package's digest");

  Signature signature;
  signature.algorithm = Algorithm::Prehashed;
  signature.keyId = key.id;
  signature.trustedComment = std::string(trustedComment);
  if (crypto_sign_detached(signature.signature.data(), nullptr, digest, sizeof digest,
                           key.key.data()) != 0)
    return R::failure("cannot sign the package");
  std::string signedComment(asText(signature.signature.data(), signature.signature.size()));
  signedComment += signature.trustedComment;
  if (crypto_sign_detached(signature.globalSignature.data(), nullptr,
                           reinterpret_cast<const unsigned char*>(signedComment.data()),
                           signedComment.size(), key.key.data()) != 0)
    return R::failure("cannot sign the trusted comment");
  return signatureText(signature, "signature from secret key " + keyIdText(key.id));
}

}  // namespace launcher::minisign
