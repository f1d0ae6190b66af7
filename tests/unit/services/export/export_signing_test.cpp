// SSH signing and verification through ssh-keygen with real keys made here:
// what verifies, and the reason each kind of failure is given.
#include <gtest/gtest.h>
#include <signal.h>

#include "services/export/dsse.hpp"
#include "services/export/ssh_sign.hpp"
#include "support/temp_repo.hpp"
#include "utils/errors.hpp"
#include "utils/private_dir.hpp"
#include "utils/process.hpp"

namespace ex = brenik::services::exporting;
namespace fs = std::filesystem;
using brenik::testing::read_file;
using brenik::testing::ScopedEnv;
using brenik::testing::TempDir;
using brenik::testing::TempRepo;
using brenik::testing::write_file;

namespace {

fs::path make_key(const fs::path& dir, const std::string& name) {
  const fs::path key = dir / name;
  auto r = brenik::utils::run({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", name, "-f", key.string()});
  EXPECT_TRUE(r.ok()) << r.err;
  return key;
}

std::string allowed_line(const std::string& principal, const fs::path& key) {
  std::string pub = read_file(key.string() + ".pub");
  pub = pub.substr(0, pub.find(' ', pub.find(' ') + 1));  // type and key, no comment
  return principal + " " + pub + "\n";
}

class SshSigning : public ::testing::Test {
protected:
  TempDir dir;
  ScopedEnv no_agent{"SSH_AUTH_SOCK", std::nullopt};
  fs::path dev_key, stranger_key, allowed;

  void SetUp() override {
    dev_key = make_key(dir.path(), "dev");
    stranger_key = make_key(dir.path(), "stranger");
    allowed = dir.path() / "allowed_signers";
    write_file(allowed, allowed_line("dev@example.com", dev_key));
  }

  ex::SigningConfig config(const fs::path& key) const {
    return {.format = "ssh", .signing_key = key.string(), .allowed_signers = allowed.string()};
  }
};

}  // namespace

TEST_F(SshSigning, SignedMessagesVerifyAndNameTheirSigner) {
  ex::SshSigner signer(config(dev_key), dir.path());
  EXPECT_EQ(signer.keyid().rfind("SHA256:", 0), 0u) << signer.keyid();
  const std::vector<std::string> messages{ex::pae(ex::IN_TOTO_PAYLOAD_TYPE, "{\"a\": 1}"),
                                          ex::pae(ex::IN_TOTO_PAYLOAD_TYPE, "{\"a\": 2}"), std::string("\0x", 2)};
  auto sigs = signer.sign(messages);
  ASSERT_EQ(sigs.size(), 3u);
  ex::SshVerifier verifier(allowed);
  for (std::size_t i = 0; i < messages.size(); ++i) {
    auto check = verifier.check(messages[i], sigs[i]);
    EXPECT_EQ(check.status, ex::SignatureStatus::ok) << i;
    EXPECT_EQ(check.signer, "dev@example.com");
  }
  // Each signature belongs to its own message.
  EXPECT_EQ(verifier.check(messages[1], sigs[0]).status, ex::SignatureStatus::bad_signature);
}

TEST_F(SshSigning, FailuresCarryTheirReason) {
  const std::string message = ex::pae(ex::IN_TOTO_PAYLOAD_TYPE, "{\"commit\": \"x\"}");
  ex::SshSigner dev(config(dev_key), dir.path());
  ex::SshSigner stranger(config(stranger_key), dir.path());
  const std::string good = dev.sign({message})[0];
  ex::SshVerifier verifier(allowed);

  std::string changed = message;
  changed[changed.size() - 3] ^= 1;
  EXPECT_EQ(verifier.check(changed, good).status, ex::SignatureStatus::bad_signature);
  EXPECT_EQ(verifier.check(message, stranger.sign({message})[0]).status, ex::SignatureStatus::unknown_signer);
  std::string broken = good;
  broken[broken.size() - 5] ^= 0x40;  // inside the signature itself
  EXPECT_EQ(verifier.check(message, broken).status, ex::SignatureStatus::bad_signature);
  EXPECT_EQ(verifier.check(message, "not a signature").status, ex::SignatureStatus::bad_signature);

  // Signed by the right key for git's own namespace: not an export signature.
  const fs::path data = dir.path() / "data";
  write_file(data, message);
  auto r = brenik::utils::run({"ssh-keygen", "-q", "-Y", "sign", "-f", dev_key.string(), "-n", "git", data.string()});
  ASSERT_TRUE(r.ok()) << r.err;
  auto git_sig = ex::detail::dearmor_signature(read_file(data.string() + ".sig"));
  ASSERT_TRUE(git_sig);
  EXPECT_EQ(verifier.check(message, *git_sig).status, ex::SignatureStatus::bad_signature);
}

TEST_F(SshSigning, ArmorIsWhatSshKeygenWrites) {
  const fs::path data = dir.path() / "data";
  write_file(data, "hello");
  auto r = brenik::utils::run({"ssh-keygen", "-q", "-Y", "sign", "-f", dev_key.string(), "-n", "file", data.string()});
  ASSERT_TRUE(r.ok()) << r.err;
  const std::string armored = read_file(data.string() + ".sig");
  auto blob = ex::detail::dearmor_signature(armored);
  ASSERT_TRUE(blob);
  EXPECT_EQ(blob->substr(0, 6), "SSHSIG");
  EXPECT_EQ(ex::detail::armor_signature(*blob), armored);
  EXPECT_TRUE(ex::detail::sshsig_public_key(*blob));
  EXPECT_FALSE(ex::detail::sshsig_public_key(blob->substr(0, blob->size() - 1)));
  EXPECT_FALSE(ex::detail::dearmor_signature("-----BEGIN SSH SIGNATURE-----\n!!\n-----END SSH SIGNATURE-----\n"));
}

TEST_F(SshSigning, ConfigurationIsReadFromGitAndRefusedWithAHowTo) {
  TempRepo repo;
  ScopedEnv home("HOME", dir.path().string());
  auto c = ex::read_signing_config(repo.root());
  auto refusal = ex::signing_refusal(c);
  ASSERT_TRUE(refusal);
  EXPECT_NE(refusal->find("git config --global gpg.format ssh"), std::string::npos) << *refusal;
  EXPECT_TRUE(ex::verifying_refusal(c));

  repo.git({"config", "gpg.format", "openpgp"});
  repo.git({"config", "user.signingKey", "ABCDEF"});
  refusal = ex::signing_refusal(ex::read_signing_config(repo.root()));
  ASSERT_TRUE(refusal);
  EXPECT_NE(refusal->find("\"openpgp\""), std::string::npos) << *refusal;

  repo.git({"config", "gpg.format", "ssh"});
  repo.git({"config", "--unset", "user.signingKey"});
  refusal = ex::signing_refusal(ex::read_signing_config(repo.root()));
  ASSERT_TRUE(refusal);
  EXPECT_NE(refusal->find("user.signingKey"), std::string::npos);

  repo.git({"config", "user.signingKey", "~/dev.pub"});
  repo.git({"config", "gpg.ssh.allowedSignersFile", "~/allowed_signers"});
  c = ex::read_signing_config(repo.root());
  EXPECT_FALSE(ex::signing_refusal(c));
  EXPECT_FALSE(ex::verifying_refusal(c));
  EXPECT_EQ(c.allowed_signers, allowed.string());
  // ~ in the key path is the user's home; the key signs.
  ex::SshSigner signer(c, repo.root());
  auto sig = signer.sign({"m"})[0];
  EXPECT_EQ(ex::SshVerifier(allowed).check("m", sig).status, ex::SignatureStatus::ok);

  c.allowed_signers = (dir.path() / "no-such-file").string();
  auto why = ex::verifying_refusal(c);
  ASSERT_TRUE(why);
  EXPECT_NE(why->find("no-such-file"), std::string::npos) << *why;

  c.signing_key = (dir.path() / "missing").string();
  EXPECT_THROW(ex::SshSigner(c, repo.root()), brenik::RuntimeError);
}

TEST(PrivateDir, IsPrivateRefusesLinksAndGoesAwayWithItsOwner) {
  TempDir tmp;
  ScopedEnv tmpdir("TMPDIR", tmp.path().string());
  fs::path where;
  {
    brenik::utils::PrivateDir d;
    where = d.path();
    EXPECT_EQ(where.parent_path(), tmp.path());
    EXPECT_EQ(fs::status(where).permissions() & fs::perms::all, fs::perms::owner_all);
    const fs::path f = d.write("a", "bytes");
    EXPECT_EQ(read_file(f), "bytes");
    EXPECT_EQ(fs::status(f).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_THROW(d.write("a", "again"), brenik::OSError);
    fs::create_symlink(tmp.path() / "target", where / "link");
    EXPECT_THROW(d.write("link", "x"), brenik::OSError);
    EXPECT_FALSE(fs::exists(tmp.path() / "target"));
  }
  EXPECT_FALSE(fs::exists(where));
}

namespace {

// An ssh-agent of the test's own, stopped by its pid when the test ends.
class TestAgent {
public:
  explicit TestAgent(const fs::path& socket) : socket_(socket) {
    auto r = brenik::utils::run({"ssh-agent", "-s", "-a", socket.string()}, {.timeout_seconds = 10.0});
    const auto at = r.out.find("SSH_AGENT_PID=");
    if (r.ok() && at != std::string::npos) pid_ = std::stoi(r.out.substr(at + 14));
  }
  ~TestAgent() {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
  }
  TestAgent(const TestAgent&) = delete;
  TestAgent& operator=(const TestAgent&) = delete;
  bool running() const { return pid_ > 0; }

private:
  fs::path socket_;
  pid_t pid_ = -1;
};

}  // namespace

TEST_F(SshSigning, ALiteralKeySignsThroughTheAgent) {
  TestAgent agent(dir.path() / "agent.sock");
  ASSERT_TRUE(agent.running());
  ScopedEnv sock("SSH_AUTH_SOCK", (dir.path() / "agent.sock").string());
  std::string pub = read_file(dev_key.string() + ".pub");
  pub = brenik::utils::strip(pub);
  auto c = config(dev_key);
  c.signing_key = "key::" + pub;
  // Not in the agent yet: a clear failure, not a hang or a half-signed export.
  EXPECT_THROW(ex::SshSigner(c, dir.path()).sign({"m"}), brenik::RuntimeError);
  auto added = brenik::utils::run({"ssh-add", "-q", dev_key.string()},
                                  {.env = {{"SSH_AUTH_SOCK", (dir.path() / "agent.sock").string()}}});
  ASSERT_TRUE(added.ok()) << added.err;
  ex::SshSigner signer(c, dir.path());
  EXPECT_EQ(signer.keyid().rfind("SHA256:", 0), 0u);
  auto sig = signer.sign({"m"})[0];
  EXPECT_EQ(ex::SshVerifier(allowed).check("m", sig).status, ex::SignatureStatus::ok);
}
