// Whether Codex trusts brenik's hook rows, from the user's hooks.json and
// the trust state in config.toml.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "agents/codex_trust.hpp"
#include "fixtures/agents/agents_env.hpp"

namespace {

using namespace agents_test;
using brenik::agents::codex_hooks_trust;
using brenik::agents::CodexHookTrust;

const std::string ADD = "'/opt/bin/brenik' attest add --from-hook --agent codex";
const std::string START = "'/opt/bin/brenik' session-start --agent codex";
const std::string OTHER = "/usr/local/bin/notify-me --json";

std::string hooks_json(const std::string& add = ADD) {
  return J{{"hooks",
            {{"PostToolUse", J::array({J{{"matcher", "Bash"},
                                         {"hooks", J::array({J{{"type", "command"}, {"command", add}},
                                                             J{{"type", "command"}, {"command", OTHER}}})}}})},
             {"SessionStart", J::array({J{{"hooks", J::array({J{{"type", "command"}, {"command", START}}})}}})}}}}
      .dump(2);
}

// A TOML basic string holding `text`.
std::string toml_string(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

class CodexTrustTest : public ::testing::Test {
protected:
  void SetUp() override { home = tmp.path() / ".codex"; }
  void write_config(const std::string& text) { write_text(home / "config.toml", text); }
  TempDir tmp;
  fs::path home;
};

TEST_F(CodexTrustTest, RowsTrustedByEntriesNamingTheirCommands) {
  write_text(home / "hooks.json", hooks_json());
  write_config(
      "model = \"gpt-5.3-codex\"  # comment\n\n[features]\nhooks = true\n\n"
      "[hooks.state." +
      toml_string("PostToolUse:" + ADD) +
      "]\ntrusted = true\nhash = 'ab12'\n\n"
      "[hooks.state]\n" +
      toml_string(START) +
      " = { trusted = true, at = 2026-08-10T12:00:00Z }\n"
      "'other' = { trusted = false, command = \"" +
      OTHER +
      "\" }\n"
      "[projects.\"/home/u/repo\"]\ntrust_level = \"trusted\"\n");
  auto t = codex_hooks_trust(home);
  ASSERT_EQ(t.rows.size(), 2u);
  EXPECT_EQ(t.rows[0].event, "PostToolUse");
  EXPECT_EQ(t.rows[0].command, ADD);
  EXPECT_EQ(t.rows[0].trust, CodexHookTrust::trusted);
  EXPECT_EQ(t.rows[1].event, "SessionStart");
  EXPECT_EQ(t.rows[1].trust, CodexHookTrust::trusted);
  EXPECT_EQ(t.overall(), CodexHookTrust::trusted);
  EXPECT_TRUE(t.installed());
}

TEST_F(CodexTrustTest, UntrustedChangedOrNeverTrustedRowsAreSaidToBe) {
  // Nothing trusted yet: no configuration at all, or one without state.
  write_text(home / "hooks.json", hooks_json());
  auto t = codex_hooks_trust(home);
  EXPECT_EQ(t.overall(), CodexHookTrust::untrusted);
  EXPECT_NE(t.detail.find("/hooks"), std::string::npos);
  write_config("model = 'o4-mini'\n");
  EXPECT_EQ(codex_hooks_trust(home).overall(), CodexHookTrust::untrusted);

  // One row trusted, the other refused.
  write_config("[hooks.state]\n" + toml_string(ADD) + " = true\n" + toml_string(START) + " = \"untrusted\"\n");
  t = codex_hooks_trust(home);
  EXPECT_EQ(t.rows[0].trust, CodexHookTrust::trusted);
  EXPECT_EQ(t.rows[1].trust, CodexHookTrust::untrusted);
  EXPECT_EQ(t.overall(), CodexHookTrust::untrusted);

  // Trusted, then setup rewrote the row with another program path: the
  // state names the old command only, so the new row is not trusted.
  write_config("[hooks.state]\n" + toml_string(ADD) + " = true\n" + toml_string(START) + " = true\n");
  EXPECT_EQ(codex_hooks_trust(home).overall(), CodexHookTrust::trusted);
  write_text(home / "hooks.json", hooks_json("/usr/bin/brenik attest add --from-hook --agent codex"));
  t = codex_hooks_trust(home);
  EXPECT_EQ(t.rows[0].trust, CodexHookTrust::untrusted);
  EXPECT_EQ(t.rows[1].trust, CodexHookTrust::trusted);
  EXPECT_EQ(t.overall(), CodexHookTrust::untrusted);
  // The same with the program now found on PATH: the old command ends with
  // the new one's text, yet is another command.
  write_config("[hooks.state]\n\"/usr/bin/brenik attest add --from-hook --agent codex\" = true\n" + toml_string(START) +
               " = true\n");
  write_text(home / "hooks.json", hooks_json("brenik attest add --from-hook --agent codex"));
  EXPECT_EQ(codex_hooks_trust(home).rows[0].trust, CodexHookTrust::untrusted);
}

TEST_F(CodexTrustTest, StateThatDoesNotNameItsHooksOrCannotBeReadIsUnknown) {
  write_text(home / "hooks.json", hooks_json());
  // Keyed by digests of the definitions: nothing here names a command.
  write_config("[hooks.state.\"sha256:0f3a\"]\ntrusted = true\n[hooks.state.\"sha256:77b1\"]\ntrusted = true\n");
  EXPECT_EQ(codex_hooks_trust(home).overall(), CodexHookTrust::unknown);
  // Not TOML.
  write_config("[hooks.state\n" + toml_string(ADD) + " = true\n");
  auto t = codex_hooks_trust(home);
  EXPECT_EQ(t.overall(), CodexHookTrust::unknown);
  EXPECT_EQ(t.rows.size(), 2u);
  // A multi-line string and a multi-line array are read past, not mistaken
  // for the state.
  write_config(
      "instructions = \"\"\"\n[hooks.state]\n\"x\" = true\n\"\"\"\nlist = [\n  1,\n  2, # two\n]\n"
      "[hooks.state]\n" +
      toml_string(ADD) + " = true\n" + toml_string(START) + " = true\n");
  EXPECT_EQ(codex_hooks_trust(home).overall(), CodexHookTrust::trusted);
  // Both files kept elsewhere and linked, as dotfile managers do.
  fs::create_directories(tmp.path() / "dotfiles");
  fs::rename(home / "config.toml", tmp.path() / "dotfiles" / "config.toml");
  fs::rename(home / "hooks.json", tmp.path() / "dotfiles" / "hooks.json");
  fs::create_symlink(tmp.path() / "dotfiles" / "config.toml", home / "config.toml");
  fs::create_symlink(tmp.path() / "dotfiles" / "hooks.json", home / "hooks.json");
  EXPECT_EQ(codex_hooks_trust(home).overall(), CodexHookTrust::trusted);
  // A configuration that is not a file is not waited on: unknown.
  fs::remove(home / "config.toml");
  ASSERT_EQ(::mkfifo((home / "config.toml").c_str(), 0600), 0);
  EXPECT_EQ(codex_hooks_trust(home).overall(), CodexHookTrust::unknown);
}

TEST_F(CodexTrustTest, NoHooksFileOrNoBrenikRowIsNotInstalled) {
  auto t = codex_hooks_trust(home);
  EXPECT_FALSE(t.installed());
  EXPECT_EQ(t.overall(), CodexHookTrust::unknown);
  write_text(home / "hooks.json",
             J{{"hooks", {{"Stop", J::array({J{{"hooks", J::array({J{{"type", "command"}, {"command", OTHER}}})}}})}}}}
                 .dump());
  EXPECT_FALSE(codex_hooks_trust(home).installed());
  write_text(home / "hooks.json", "{not json");
  t = codex_hooks_trust(home);
  EXPECT_FALSE(t.installed());
  EXPECT_NE(t.detail.find("not readable JSON"), std::string::npos);
}

}  // namespace
