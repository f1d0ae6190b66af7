#include "services/export/ssh_sign.hpp"

#include <cstdint>
#include <cstdlib>

#include "services/git/git.hpp"
#include "utils/base64.hpp"
#include "utils/errors.hpp"
#include "utils/fs.hpp"
#include "utils/process.hpp"

namespace brenik::services::exporting {

namespace fs = std::filesystem;

namespace {

constexpr const char* ARMOR_BEGIN = "-----BEGIN SSH SIGNATURE-----";
constexpr const char* ARMOR_END = "-----END SSH SIGNATURE-----";
// A passphrase may have to be typed for a key without an agent.
constexpr double SIGN_TIMEOUT_SECONDS = 120.0;
constexpr double CHECK_TIMEOUT_SECONDS = 10.0;
// Files per ssh-keygen run (one passphrase prompt each without an agent).
constexpr std::size_t SIGN_BATCH = 256;

const char* const HOW_TO_CONFIGURE =
    "Configure SSH signing in git first, for example:\n"
    "  git config --global gpg.format ssh\n"
    "  git config --global user.signingKey ~/.ssh/id_ed25519.pub";

std::optional<std::string> config_value(const fs::path& root, const std::vector<std::string>& args) {
  std::vector<std::string> full{"config"};
  full.insert(full.end(), args.begin(), args.end());
  std::string v = tolvern::detail::git(full, {.cwd = root});
  if (v.empty()) return std::nullopt;
  return v;
}

std::string expand_home(const std::string& path) {
  if (path.rfind("~/", 0) != 0) return path;
  const char* home = std::getenv("HOME");
  return home ? std::string(home) + path.substr(1) : path;
}

// user.signingKey holding the public key itself rather than a path.
std::optional<std::string> literal_key(const std::string& value) {
  if (value.rfind("key::", 0) == 0) return value.substr(5);
  for (const char* prefix : {"ssh-", "ecdsa-", "sk-ssh-", "sk-ecdsa-"})
    if (value.rfind(prefix, 0) == 0) return value;
  return std::nullopt;
}

utils::RunResult keygen(const std::vector<std::string>& args, double timeout,
                        std::optional<std::string> stdin_data = std::nullopt) {
  std::vector<std::string> argv{"ssh-keygen"};
  argv.insert(argv.end(), args.begin(), args.end());
  return utils::run(argv, {.timeout_seconds = timeout, .stdin_data = std::move(stdin_data)});
}

std::string first_line(const std::string& text) {
  std::string s = utils::strip(text);
  auto nl = s.find('\n');
  return nl == std::string::npos ? s : s.substr(0, nl);
}

bool read_u32(std::string_view& b, std::uint32_t& v) {
  if (b.size() < 4) return false;
  v = static_cast<std::uint32_t>(static_cast<unsigned char>(b[0])) << 24 |
      static_cast<std::uint32_t>(static_cast<unsigned char>(b[1])) << 16 |
      static_cast<std::uint32_t>(static_cast<unsigned char>(b[2])) << 8 |
      static_cast<std::uint32_t>(static_cast<unsigned char>(b[3]));
  b.remove_prefix(4);
  return true;
}

bool read_string(std::string_view& b, std::string_view& s) {
  std::uint32_t n = 0;
  if (!read_u32(b, n) || b.size() < n) return false;
  s = b.substr(0, n);
  b.remove_prefix(n);
  return true;
}

}  // namespace

namespace detail {

std::string armor_signature(std::string_view blob) {
  const std::string b64 = utils::base64_encode(blob);
  std::string out = std::string(ARMOR_BEGIN) + "\n";
  for (std::size_t i = 0; i < b64.size(); i += 70) out += b64.substr(i, 70) + "\n";
  return out + ARMOR_END + "\n";
}

std::optional<std::string> dearmor_signature(std::string_view text) {
  auto b = text.find(ARMOR_BEGIN);
  auto e = text.find(ARMOR_END);
  if (b == std::string_view::npos || e == std::string_view::npos || e < b) return std::nullopt;
  std::string body;
  for (char c : text.substr(b + std::string_view(ARMOR_BEGIN).size(), e - b - std::string_view(ARMOR_BEGIN).size()))
    if (c != '\n' && c != '\r' && c != ' ' && c != '\t') body += c;
  return utils::base64_decode(body);
}

std::optional<std::string> sshsig_public_key(std::string_view blob) {
  if (blob.substr(0, 6) != "SSHSIG") return std::nullopt;
  blob.remove_prefix(6);
  std::uint32_t version = 0;
  std::string_view key, ns, reserved, hash, sig;
  if (!read_u32(blob, version) || version != 1) return std::nullopt;
  if (!read_string(blob, key) || !read_string(blob, ns) || !read_string(blob, reserved) || !read_string(blob, hash) ||
      !read_string(blob, sig) || !blob.empty())
    return std::nullopt;
  return std::string(key);
}

}  // namespace detail

SigningConfig read_signing_config(const fs::path& root) {
  SigningConfig c;
  c.format = config_value(root, {"--get", "gpg.format"});
  c.signing_key = config_value(root, {"--get", "user.signingKey"});
  c.allowed_signers = config_value(root, {"--type=path", "--get", "gpg.ssh.allowedSignersFile"});
  return c;
}

std::optional<std::string> signing_refusal(const SigningConfig& c) {
  if (!c.format || *c.format != "ssh")
    return std::string("Signing needs git's SSH signing (gpg.format is ") +
           (c.format ? "\"" + *c.format + "\"" : "not set") + ").\n" + HOW_TO_CONFIGURE;
  if (!c.signing_key) return std::string("No signing key: user.signingKey is not set.\n") + HOW_TO_CONFIGURE;
  return std::nullopt;
}

std::optional<std::string> verifying_refusal(const SigningConfig& c) {
  if (!c.allowed_signers)
    return std::string(
        "No allowed signers file: gpg.ssh.allowedSignersFile is not set.\n"
        "Configure one (lines \"principal key-type base64-key\"), for example:\n"
        "  git config --global gpg.ssh.allowedSignersFile ~/.config/git/allowed_signers");
  std::error_code ec;
  if (!fs::is_regular_file(*c.allowed_signers, ec))
    return "The allowed signers file " + *c.allowed_signers + " (gpg.ssh.allowedSignersFile) is not there.";
  return std::nullopt;
}

SshSigner::SshSigner(const SigningConfig& config, const fs::path& repo_root) {
  if (!utils::which("ssh-keygen")) throw RuntimeError("ssh-keygen is not installed (Debian: openssh-client).");
  const std::string value = config.signing_key.value_or("");
  fs::path public_key;
  if (auto literal = literal_key(value)) {
    // ssh-keygen signs with the agent's private half of a public key file.
    key_ = dir_.write("signing_key.pub", *literal + "\n").string();
    public_key = key_;
  } else {
    fs::path p = expand_home(value);
    if (p.is_relative()) p = repo_root / p;
    std::error_code ec;
    if (!fs::exists(p, ec)) throw RuntimeError("The signing key " + p.string() + " (user.signingKey) does not exist.");
    key_ = p.string();
    fs::path pub = p.extension() == ".pub" ? p : fs::path(p.string() + ".pub");
    public_key = fs::exists(pub, ec) ? pub : p;
  }
  auto fp = keygen({"-l", "-E", "sha256", "-f", public_key.string()}, CHECK_TIMEOUT_SECONDS);
  if (fp.ok()) {
    // "256 SHA256:abc... comment (ED25519)"
    const std::string line = first_line(fp.out);
    auto a = line.find(' ');
    auto b = a == std::string::npos ? a : line.find(' ', a + 1);
    if (a != std::string::npos) keyid_ = line.substr(a + 1, b == std::string::npos ? b : b - a - 1);
  }
}

std::vector<std::string> SshSigner::sign(const std::vector<std::string>& messages) {
  std::vector<std::string> out;
  out.reserve(messages.size());
  for (std::size_t from = 0; from < messages.size(); from += SIGN_BATCH) {
    const std::size_t to = std::min(messages.size(), from + SIGN_BATCH);
    const std::size_t batch = batches_++;
    std::vector<std::string> args{"-q", "-Y", "sign", "-f", key_, "-n", SIGNATURE_NAMESPACE};
    std::vector<fs::path> files;
    for (std::size_t i = from; i < to; ++i) {
      files.push_back(dir_.write("m" + std::to_string(batch) + "-" + std::to_string(i), messages[i]));
      args.push_back(files.back().string());
    }
    auto r = keygen(args, SIGN_TIMEOUT_SECONDS);
    if (!r.ok()) {
      std::string why = r.status == utils::RunStatus::timed_out ? "timed out" : first_line(r.err);
      throw RuntimeError("ssh-keygen could not sign with " + key_ + (why.empty() ? "" : ": " + why));
    }
    for (const auto& f : files) {
      auto text = utils::try_read_file(fs::path(f.string() + ".sig"));
      auto blob = text ? detail::dearmor_signature(*text) : std::nullopt;
      if (!blob) throw RuntimeError("ssh-keygen wrote no usable signature for " + f.filename().string());
      out.push_back(std::move(*blob));
      std::error_code ec;
      fs::remove(f, ec);
      fs::remove(fs::path(f.string() + ".sig"), ec);
    }
  }
  return out;
}

SshVerifier::SshVerifier(fs::path allowed_signers) : allowed_(std::move(allowed_signers)) {}

SignatureCheck SshVerifier::check(std::string_view message, std::string_view signature) {
  const auto key = detail::sshsig_public_key(signature);
  if (!key) return {SignatureStatus::bad_signature, ""};
  const fs::path sig = dir_.write("s" + std::to_string(n_++) + ".sig", detail::armor_signature(signature));
  struct Cleanup {
    fs::path p;
    ~Cleanup() {
      std::error_code ec;
      fs::remove(p, ec);
    }
  } cleanup{sig};
  auto known = principals_.find(*key);
  if (known == principals_.end()) {
    std::vector<std::string> names;
    auto found = keygen({"-Y", "find-principals", "-f", allowed_.string(), "-s", sig.string()}, CHECK_TIMEOUT_SECONDS);
    if (found.ok()) {
      const std::string text = utils::strip(found.out);
      std::size_t start = 0;
      while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string name = utils::strip(std::string_view(text).substr(start, end - start));
        if (!name.empty()) names.push_back(std::move(name));
        start = end + 1;
      }
    }
    known = principals_.emplace(*key, std::move(names)).first;
  }
  if (known->second.empty()) return {SignatureStatus::unknown_signer, ""};
  for (const auto& principal : known->second) {
    auto v = keygen(
        {"-Y", "verify", "-f", allowed_.string(), "-I", principal, "-n", SIGNATURE_NAMESPACE, "-s", sig.string()},
        CHECK_TIMEOUT_SECONDS, std::string(message));
    if (v.ok()) return {SignatureStatus::ok, principal};
  }
  return {SignatureStatus::bad_signature, ""};
}

}  // namespace brenik::services::exporting
