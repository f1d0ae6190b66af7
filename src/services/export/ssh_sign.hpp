// SSH signatures through ssh-keygen, with the key git already uses for SSH
// commit signing. brenik never reads a private key itself: ssh-keygen (or
// the agent it talks to) does.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "utils/private_dir.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::exporting {

// Separates these signatures from every other use of the same key: a commit
// signature ("git") can never pass for an export's, nor the reverse.
inline constexpr const char* SIGNATURE_NAMESPACE = "brenik-attestation";

// What git is configured with, as git reports it (no value when unset).
struct SigningConfig {
  std::optional<std::string> format;           // gpg.format
  std::optional<std::string> signing_key;      // user.signingKey
  std::optional<std::string> allowed_signers;  // gpg.ssh.allowedSignersFile, ~ expanded
};

SigningConfig read_signing_config(const std::filesystem::path& repo_root);

// Why this configuration cannot sign, with how to set one up; none when it can.
std::optional<std::string> signing_refusal(const SigningConfig& config);

// Why it cannot verify; none when it can.
std::optional<std::string> verifying_refusal(const SigningConfig& config);

class SshSigner {
public:
  // Throws RuntimeError with a message for the user when the key cannot be
  // used (call signing_refusal first for the configuration itself).
  SshSigner(const SigningConfig& config, const std::filesystem::path& repo_root);

  // Raw SSH signature (the SSHSIG blob) of each message, in order, through
  // as few ssh-keygen runs as possible. Throws RuntimeError.
  std::vector<std::string> sign(const std::vector<std::string>& messages);

  // "SHA256:..." fingerprint of the key; empty when ssh-keygen cannot say.
  const std::string& keyid() const { return keyid_; }

private:
  utils::PrivateDir dir_;
  std::string key_;  // what ssh-keygen -f gets
  std::string keyid_;
  std::size_t batches_ = 0;
};

enum class SignatureStatus { ok, bad_signature, unknown_signer };

struct SignatureCheck {
  SignatureStatus status = SignatureStatus::bad_signature;
  std::string signer;  // the principal, when ok
};

class SshVerifier {
public:
  explicit SshVerifier(std::filesystem::path allowed_signers);
  SignatureCheck check(std::string_view message, std::string_view signature);

private:
  utils::PrivateDir dir_;
  std::filesystem::path allowed_;
  std::size_t n_ = 0;
  // Signing key blob -> the principals the allowed signers give it (an
  // export is usually signed by one key: asked once).
  std::map<std::string, std::vector<std::string>> principals_;
};

#pragma GCC visibility pop

namespace detail {

// The armored form ssh-keygen reads and writes, and back.
std::string armor_signature(std::string_view blob);
std::optional<std::string> dearmor_signature(std::string_view text);

// The signing public key inside an SSHSIG blob; none when the blob is not one.
std::optional<std::string> sshsig_public_key(std::string_view blob);

}  // namespace detail
}  // namespace brenik::services::exporting
