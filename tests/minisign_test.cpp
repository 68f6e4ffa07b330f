// Package signatures: what we sign is accepted by the minisign tool and what it signs by our
// verifier, then every refusal the launcher relies on and the strict reading of signature and
// key texts.
#include "Launcher/Minisign.h"

#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/TestFolders.h"
#include "tests/support/ZipWriter.h"

namespace launcher::minisign {
namespace {
namespace fs = std::filesystem;
using launcher::testing::linesOf;
using launcher::testing::pseudoRandomBytes;
using launcher::testing::readFile;
using launcher::testing::TempDir;
using launcher::testing::writeFile;

const std::string kComment = "version:3\tfile:package_mac.zip";

std::string joined(const std::vector<std::string>& lines, const std::string& end = "\n") {
  std::string text;
  for (const auto& line : lines) text += line + end;
  return text;
}

// Checks `package` the way the download does: its bytes fed in uneven pieces as they arrive,
// then the finished file.
std::optional<std::string> verify(const PublicKey& key, const std::string& minisig,
                                  const fs::path& package, std::int64_t version) {
  const auto signature = parseSignature(minisig);
  if (!signature) return "unreadable signature: " + signature.error();
  PackageVerifier verifier(key, *signature, version);
  const std::string bytes = readFile(package.string());
  for (std::size_t at = 0; at < bytes.size(); at += 4099)
    verifier.update(bytes.data() + at, std::min<std::size_t>(4099, bytes.size() - at));
  return verifier.finish(package);
}

PublicKey keyOf(const std::string& text) {
  const auto key = parsePublicKey(text);
  EXPECT_TRUE(key) << key.error();
  return key ? *key : PublicKey{};
}

// --- The minisign tool, both ways ---

bool haveMinisign() {
  return std::system("command -v minisign >/dev/null 2>&1") == 0;
}

// Runs minisign in `dir` with HOME pointing there; its exit status and everything it printed.
int runMinisign(const TempDir& dir, const std::string& arguments, std::string* output = nullptr) {
  const std::string printed = dir / "minisign.out";
  const std::string command = "cd '" + dir.path() + "' && HOME='" + dir.path() +
                              "' MINISIGN_CONFIG_DIR='" + dir.path() + "' minisign " + arguments +
                              " </dev/null >'" + printed + "' 2>&1";
  const int status = std::system(command.c_str());
  if (output) *output = readFile(printed);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

#define REQUIRE_MINISIGN() \
  if (!haveMinisign()) GTEST_SKIP() << "minisign is not installed (scripts/install-deps.sh)"

// Writes ours.pub/ours.key (made by us) and tool.pub/tool.key (made by the minisign tool) in `dir`.
void writeBothKeyPairs(const TempDir& dir) {
  const auto ours = generateKeyPair("test");
  ASSERT_TRUE(ours) << ours.error();
  writeFile(dir / "ours.pub", ours->publicKeyFile);
  writeFile(dir / "ours.key", ours->secretKeyFile);
  std::string output;
  ASSERT_EQ(runMinisign(dir, "-G -W -p tool.pub -s tool.key", &output), 0) << output;
}

TEST(MinisignTool, AcceptsWhatWeSignWithOurKeysAndWithItsOwn) {
  REQUIRE_MINISIGN();
  TempDir dir;
  // Larger than one read, so signing streams the file in several pieces.
  writeFile(dir / "package_mac.zip", pseudoRandomBytes(200 * 1024 + 17, 1));
  ASSERT_NO_FATAL_FAILURE(writeBothKeyPairs(dir));
  std::string output;

  for (const std::string name : {"ours", "tool"}) {
    const auto secret = parseSecretKey(readFile(dir / (name + ".key")));
    ASSERT_TRUE(secret) << name << ": " << secret.error();
    const auto signature = signFile(*secret, dir / "package_mac.zip", kComment);
    ASSERT_TRUE(signature) << signature.error();
    writeFile(dir / "package_mac.zip.minisig", *signature);
    EXPECT_EQ(runMinisign(dir, "-V -p " + name + ".pub -m package_mac.zip", &output), 0)
        << name << ": " << output;
    EXPECT_NE(output.find("Trusted comment: " + kComment + "\n"), std::string::npos) << output;
    EXPECT_EQ(
        verify(keyOf(readFile(dir / (name + ".pub"))), *signature, dir / "package_mac.zip", 3),
        std::nullopt)
        << name;
  }
  // The tool really checks: a changed package is refused.
  writeFile(dir / "package_mac.zip", pseudoRandomBytes(200 * 1024 + 17, 2));
  EXPECT_NE(runMinisign(dir, "-V -p tool.pub -m package_mac.zip", &output), 0) << output;
}

TEST(MinisignTool, ItsSignaturesPassOurVerifierPrehashedAndLegacy) {
  REQUIRE_MINISIGN();
  TempDir dir;
  ASSERT_NO_FATAL_FAILURE(writeBothKeyPairs(dir));
  std::string output;
  // We show key ids as minisign does in its comment.
  const std::string toolPub = readFile(dir / "tool.pub");
  EXPECT_NE(toolPub.find(keyIdText(keyOf(toolPub).id)), std::string::npos) << toolPub;
  // One key in sixteen has an id whose top digit is 0, which minisign does not print.
  EXPECT_EQ(keyIdText({0x9A, 0x0B, 0x26, 0xFE, 0x32, 0xAA, 0xA7, 0x07}), "7A7AA32FE260B9A");

  struct Case {
    std::string key, flags;
    Algorithm algorithm;
    std::string content;
  };
  const std::string large = pseudoRandomBytes(300 * 1024 + 5, 3);
  const std::vector<Case> cases = {
      {"tool", "", Algorithm::Prehashed, large}, {"tool", "-l", Algorithm::Legacy, large},
      {"ours", "", Algorithm::Prehashed, large}, {"ours", "-l", Algorithm::Legacy, large},
      {"tool", "", Algorithm::Prehashed, ""},    {"tool", "-l", Algorithm::Legacy, ""},
  };
  for (const auto& test : cases) {
    const std::string label =
        test.key + " " + test.flags + " " + std::to_string(test.content.size());
    writeFile(dir / "package_mac.zip", test.content);
    ASSERT_EQ(
        runMinisign(
            dir, "-S " + test.flags + " -s " + test.key + ".key -m package_mac.zip -t 'version:7'",
            &output),
        0)
        << label << ": " << output;
    const std::string minisig = readFile(dir / "package_mac.zip.minisig");
    const auto signature = parseSignature(minisig);
    ASSERT_TRUE(signature) << label << ": " << signature.error();
    EXPECT_EQ(signature->algorithm, test.algorithm) << label;
    EXPECT_EQ(signature->trustedComment, "version:7") << label;
    const PublicKey key = keyOf(readFile(dir / (test.key + ".pub")));
    PackageVerifier verifier(key, *signature, 7);
    EXPECT_EQ(verifier.readsPackageAtFinish(), test.algorithm == Algorithm::Legacy) << label;

    EXPECT_EQ(verify(key, minisig, dir / "package_mac.zip", 7), std::nullopt) << label;
    EXPECT_EQ(verify(key, minisig, dir / "package_mac.zip", 8),
              "the package is signed for version 7, not 8")
        << label;
    // Neither a byte more nor an emptied package passes.
    for (const std::string& changed : {test.content + "!", std::string()}) {
      if (changed == test.content) continue;
      writeFile(dir / "package_mac.zip", changed);
      EXPECT_EQ(verify(key, minisig, dir / "package_mac.zip", 7),
                "the signature does not match the package")
          << label << ", " << changed.size() << " bytes";
    }
  }
}

// Every trusted comment signFile takes, minisign can read back: its reader stops short of 8 KiB.
TEST(MinisignTool, ReadsTheLongestTrustedCommentWeSign) {
  REQUIRE_MINISIGN();
  TempDir dir;
  const auto keys = generateKeyPair("test");
  ASSERT_TRUE(keys) << keys.error();
  writeFile(dir / "ours.pub", keys->publicKeyFile);
  writeFile(dir / "package_mac.zip", "package");
  const auto secret = parseSecretKey(keys->secretKeyFile);
  ASSERT_TRUE(secret) << secret.error();
  for (const std::size_t size : {std::size_t{8173}, std::size_t{8174}, std::size_t{8192}}) {
    const std::string comment = "version:3\t" + std::string(size - 10, 'c');
    const auto signature = signFile(*secret, dir / "package_mac.zip", comment);
    if (!signature) continue;  // refused: nothing written that minisign could not read
    writeFile(dir / "package_mac.zip.minisig", *signature);
    std::string output;
    EXPECT_EQ(runMinisign(dir, "-V -p ours.pub -m package_mac.zip", &output), 0)
        << size << " bytes: " << output;
  }
}

// --- Refusals ---

// Two key pairs and a package signed by the first one for version 3.
struct SignedPackage {
  TempDir dir;
  fs::path package = fs::path(dir.path()) / "package_mac.zip";
  KeyPairFiles ours = *generateKeyPair("ours");
  KeyPairFiles other = *generateKeyPair("other");
  SecretKey secret = *parseSecretKey(ours.secretKeyFile);

  SignedPackage() { writeFile(package.string(), pseudoRandomBytes(100 * 1024, 4)); }
  std::string sign(const std::string& comment) const { return *signFile(secret, package, comment); }
};

TEST(PackageVerifier, RefusesEachFaultWithItsOwnReason) {
  SignedPackage fixture;
  struct Inputs {
    PublicKey key;
    std::string minisig;
    std::string content;
    std::int64_t version = 3;
  };
  struct Case {
    std::string label;
    std::function<void(Inputs&)> change;
    std::string reason;  // empty: accepted
  };
  const PublicKey other = keyOf(fixture.other.publicKeyFile);
  const PublicKey ours = keyOf(fixture.ours.publicKeyFile);
  const std::string mismatch = "the signature does not match the package";
  const std::vector<Case> cases = {
      {"untouched", [](Inputs&) {}, ""},
      {"tampered byte", [](Inputs& in) { in.content[5000] ^= 1; }, mismatch},
      {"other key", [&](Inputs& in) { in.key = other; },
       "the package was signed with another key (key id " + keyIdText(ours.id) + ", expected " +
           keyIdText(other.id) + ")"},
      {"other key and tampered",
       [&](Inputs& in) {
         in.key = other;
         in.content[0] ^= 1;
       },
       "the package was signed with another key"},
      {"forged key id",
       [&](Inputs& in) {
         in.key = {ours.id, other.key};
       },
       mismatch},
      {"tampered trusted comment",
       [](Inputs& in) {
         in.minisig.replace(in.minisig.find("version:3"), 9, "version:4");
         in.version = 4;
       },
       "the trusted comment is not signed by the key"},
      {"global signature of another comment",
       [&](Inputs& in) {
         auto lines = linesOf(in.minisig);
         lines[3] = linesOf(fixture.sign("version:4"))[3];
         in.minisig = joined(lines);
       },
       "the trusted comment is not signed by the key"},
      {"older version", [&](Inputs& in) { in.minisig = fixture.sign("version:2\tfile:p.zip"); },
       "the package is signed for version 2, not 3"},
      {"3 is not 30", [](Inputs& in) { in.version = 30; },
       "the package is signed for version 3, not 30"},
      {"30 is not 3", [&](Inputs& in) { in.minisig = fixture.sign("version:30"); },
       "the package is signed for version 30, not 3"},
      {"version inside another token",
       [&](Inputs& in) { in.minisig = fixture.sign("release-version:3 file:version:3"); },
       "the trusted comment names no version"},
      {"two versions", [&](Inputs& in) { in.minisig = fixture.sign("version:3 version:4"); },
       "the trusted comment names more than one version"},
      {"not a number", [&](Inputs& in) { in.minisig = fixture.sign("version:3a"); },
       "the package is signed for version \"3a\", not 3"},
      {"space separated", [&](Inputs& in) { in.minisig = fixture.sign("file:p.zip version:3"); },
       ""},
  };
  const std::string original = readFile(fixture.package.string());
  const std::string signedText = fixture.sign(kComment);
  for (const auto& test : cases) {
    Inputs inputs{ours, signedText, original};
    test.change(inputs);
    writeFile(fixture.package.string(), inputs.content);
    const auto outcome = verify(inputs.key, inputs.minisig, fixture.package, inputs.version);
    if (test.reason.empty()) {
      EXPECT_EQ(outcome, std::nullopt) << test.label;
    } else {
      ASSERT_TRUE(outcome) << test.label;
      EXPECT_TRUE(outcome->starts_with(test.reason)) << test.label << ": " << *outcome;
    }
  }
}

// The global signature covers the signature bytes and the trusted comment, not the two bytes
// that name the algorithm: an "ED" signature relabelled "Ed" is a valid Ed25519 signature of the
// 64-byte digest itself, which is not a package the publisher signed.
TEST(PackageVerifier, ARelabelledSignatureNeverVouchesForTheDigest) {
  SignedPackage fixture;
  const std::string package = readFile(fixture.package.string());
  const auto parsed = parseSignature(fixture.sign(kComment));
  ASSERT_TRUE(parsed) << parsed.error();
  ASSERT_EQ(parsed->algorithm, Algorithm::Prehashed);
  Signature relabelled = *parsed;
  relabelled.algorithm = Algorithm::Legacy;
  const std::string text = signatureText(relabelled, "relabelled");
  unsigned char digest[crypto_generichash_blake2b_BYTES_MAX];
  ASSERT_EQ(crypto_generichash_blake2b(digest, sizeof digest,
                                       reinterpret_cast<const unsigned char*>(package.data()),
                                       package.size(), nullptr, 0),
            0);
  writeFile(fixture.package.string(),
            std::string(reinterpret_cast<const char*>(digest), sizeof digest));
  const auto outcome = verify(keyOf(fixture.ours.publicKeyFile), text, fixture.package, 3);
  EXPECT_NE(outcome, std::nullopt) << "64 bytes the publisher never signed passed as the package";
}

// --- Reading texts strictly ---

TEST(SignatureText, ReadsTheFourLinesExactly) {
  SignedPackage fixture;
  const std::string good = fixture.sign(kComment);
  const auto lines = linesOf(good);
  ASSERT_EQ(lines.size(), 4u);
  const auto parsed = parseSignature(good);
  ASSERT_TRUE(parsed) << parsed.error();
  EXPECT_EQ(parsed->algorithm, Algorithm::Prehashed);
  EXPECT_EQ(parsed->keyId, fixture.ours.id);
  EXPECT_EQ(parsed->trustedComment, kComment);

  // Line ends from another system and a missing final line feed change nothing.
  std::string unterminated = good;
  unterminated.pop_back();
  for (const std::string& text : {joined(lines, "\r\n"), joined(lines, "\r\r\n"), unterminated}) {
    const auto again = parseSignature(text);
    ASSERT_TRUE(again) << again.error();
    EXPECT_EQ(again->trustedComment, kComment);
    EXPECT_EQ(again->signature, parsed->signature);
    EXPECT_EQ(again->globalSignature, parsed->globalSignature);
  }

  const std::string& line2 = lines[1];  // 74 bytes: 100 characters ending in "="
  const std::string& line4 = lines[3];  // 64 bytes: 88 characters ending in "=="
  std::string badCharacter = line2;
  badCharacter[10] = '!';
  std::string highByte = line2;  // libsodium alone would read it as a digit
  highByte[10] = '\x8e';
  std::string otherAlgorithm = line2;
  otherAlgorithm[0] = 'Q';  // "ED" becomes "AD"
  struct Case {
    std::string label;
    std::string text;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"empty", "", "the signature does not begin with \"untrusted comment: \""},
      {"prefix without space", "untrusted comment:x\n" + joined({line2, lines[2], line4}),
       "the signature does not begin with \"untrusted comment: \""},
      {"comment only", lines[0] + "\n", "the signature line is missing"},
      {"bad base64", joined({lines[0], badCharacter, lines[2], line4}),
       "the signature line is not valid base64"},
      {"byte above 0x7F", joined({lines[0], highByte, lines[2], line4}),
       "the signature line is not valid base64"},
      {"short signature line", joined({lines[0], line2.substr(0, 96), lines[2], line4}),
       "the signature line holds 72 bytes, not 74"},
      {"long signature line", joined({lines[0], line2.substr(0, 96) + "AAAAAA==", lines[2], line4}),
       "the signature line holds 76 bytes, not 74"},
      {"very long signature line",
       joined({lines[0], line2.substr(0, 96) + std::string(400, 'A'), lines[2], line4}),
       "the signature line is too long"},
      {"unknown algorithm", joined({lines[0], otherAlgorithm, lines[2], line4}),
       "the signature uses an unknown algorithm \"AD\" (\"ED\" or \"Ed\" expected)"},
      {"no trusted comment", joined({lines[0], line2}), "the trusted comment is missing"},
      {"trusted prefix misspelt", joined({lines[0], line2, "Trusted comment: version:3", line4}),
       "the third line of the signature does not begin with \"trusted comment: \""},
      {"no global signature", joined({lines[0], line2, lines[2]}),
       "the global signature is missing"},
      {"short global signature", joined({lines[0], line2, lines[2], line4.substr(0, 84)}),
       "the global signature holds 63 bytes, not 64"},
      {"fifth line", good + "more\n", "the signature has more than four lines"},
      {"blank fifth line", good + "\n", "the signature has more than four lines"},
      {"oversized", lines[0] + std::string(17000, 'a') + "\n" + joined({line2, lines[2], line4}),
       "the signature is longer than 16384 bytes"},
  };
  for (const auto& test : cases) {
    const auto outcome = parseSignature(test.text);
    ASSERT_FALSE(outcome) << test.label;
    EXPECT_EQ(outcome.error(), test.reason) << test.label;
  }
}

TEST(KeyTexts, PublicAndSecretKeysAreReadStrictly) {
  const auto keys = generateKeyPair("test");
  ASSERT_TRUE(keys) << keys.error();
  const std::string& line = keys->publicKeyLine;
  EXPECT_EQ(linesOf(keys->publicKeyFile).at(1), line);
  for (const std::string& text : {line, keys->publicKeyFile, "  " + line + "\n",
                                  joined(linesOf(keys->publicKeyFile), "\r\n")}) {
    const auto key = parsePublicKey(text);
    ASSERT_TRUE(key) << key.error();
    EXPECT_EQ(key->id, keys->id);
    EXPECT_EQ(publicKeyLine(*key), line);
  }
  std::string badCharacter = line;
  badCharacter[20] = '*';
  std::string otherAlgorithm = line;
  otherAlgorithm[0] = 'Q';  // "Ed" becomes "Ad"
  const std::vector<std::pair<std::string, std::string>> badPublic = {
      {"", "the public key holds 0 bytes, not 42"},
      {badCharacter, "the public key is not valid base64"},
      {otherAlgorithm, "the public key is not an Ed25519 key in minisign's format"},
      {keys->secretKeyFile, "the public key is too long"},
      {"comment: x\n" + line, "the public key file does not begin with \"untrusted comment: \""},
      {keys->publicKeyFile + line, "the public key file has more than two lines"},
  };
  for (const auto& [text, reason] : badPublic) {
    const auto key = parsePublicKey(text);
    ASSERT_FALSE(key) << reason;
    EXPECT_TRUE(key.error().starts_with(reason)) << key.error();
  }

  const auto secret = parseSecretKey(keys->secretKeyFile);
  ASSERT_TRUE(secret) << secret.error();
  EXPECT_EQ(secret->id, keys->id);
  // "Ed", no key derivation, "B2" is "RWQAAEIy"; with scrypt ("Sc") it is "RWRTY0Iy".
  const std::string secretLine = linesOf(keys->secretKeyFile).at(1);
  ASSERT_TRUE(secretLine.starts_with("RWQAAEIy"));
  std::string encrypted = keys->secretKeyFile;
  encrypted.replace(encrypted.find("RWQAAEIy"), 8, "RWRTY0Iy");
  std::string damaged = keys->secretKeyFile;
  const std::size_t inChecksum = damaged.size() - 10;
  damaged[inChecksum] = damaged[inChecksum] == 'A' ? 'B' : 'A';
  const std::vector<std::pair<std::string, std::string>> badSecret = {
      {encrypted,
       "the secret key is encrypted with a password; use an unencrypted key (launcher-feed "
       "keygen, or minisign -G -W) or sign the package with minisign"},
      {damaged, "the secret key's checksum does not match: the key file is damaged"},
      {keys->publicKeyFile, "the secret key holds 42 bytes, not 158"},
      {secretLine, "the secret key file has no key line after its comment"},
  };
  for (const auto& [text, reason] : badSecret) {
    const auto key = parseSecretKey(text);
    ASSERT_FALSE(key) << reason;
    EXPECT_EQ(key.error(), reason);
  }
}

}  // namespace
}  // namespace launcher::minisign
