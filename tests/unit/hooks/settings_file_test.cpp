// Harness settings files edited in place: the user's bytes kept, one backup,
// and brenik's rows taken out again leaving the file as it was.
#include <gtest/gtest.h>

#include "hooks/settings_file.hpp"
#include "support/temp_repo.hpp"

namespace brenik::testing {
namespace {

namespace inst = hooks::installer;
namespace sf = hooks::settings_file;

const std::string USER_FILE =
    "{\n"
    "    \"model\": \"opus\",\n"
    "    \"statusLine\": \"Gr\xc3\xbc\xc3\x9f\x65 \xe2\x80\x94 \xf0\x9f\x9a\x80\",\n"
    "    \"permissions\": {\"allow\": [\"Bash(ls)\", \"Read\"]},\n"
    "    \"hooks\": {\n"
    "        \"PostToolUse\": [\n"
    "            {\"matcher\": \"Edit\", \"hooks\": [{\"type\": \"command\", \"command\": \"fmt\"}]}\n"
    "        ]\n"
    "    }\n"
    "}\n";

TEST(SettingsFile, MergeKeepsTheUsersBytesAndBacksUpOnce) {
  TempDir home;
  const fs::path file = home.path() / "settings.json";
  write_file(file, USER_FILE);
  auto r = sf::install("Claude Code", file, inst::claude_code_rows("/opt/x/brenik"));
  ASSERT_EQ(r.status, inst::Status::changed) << r.detail;
  const std::string after = read_file(file);
  EXPECT_EQ(read_file(sf::backup_path(file)), USER_FILE);
  // Non-ASCII stays UTF-8, the compact list stays on its line, the user's
  // first lines are unchanged and the new rows use the file's 4-space unit.
  EXPECT_EQ(after.find("\\u"), std::string::npos) << after;
  EXPECT_EQ(after.substr(0, USER_FILE.find("\"hooks\"")), USER_FILE.substr(0, USER_FILE.find("\"hooks\"")));
  EXPECT_NE(after.find("\n        \"SessionStart\": [\n            {\n                \"hooks\": ["), std::string::npos)
      << after;
  auto v = json::loads(after);
  EXPECT_EQ(v["hooks"]["PostToolUse"].size(), 2u);
  EXPECT_EQ(v["hooks"]["PostToolUse"][0]["hooks"][0]["command"], "fmt");

  // Again: nothing changes, and a later change never replaces the first backup.
  r = sf::install("Claude Code", file, inst::claude_code_rows("/opt/x/brenik"));
  EXPECT_EQ(r.status, inst::Status::unchanged);
  EXPECT_EQ(read_file(file), after);
  r = sf::install("Claude Code", file, inst::claude_code_rows("/usr/bin/brenik"));  // moved program
  EXPECT_EQ(r.status, inst::Status::changed);
  EXPECT_EQ(json::loads(read_file(file))["hooks"]["PostToolUse"][1]["hooks"][0]["command"],
            "/usr/bin/brenik attest add --from-hook --agent claude-code");
  EXPECT_EQ(read_file(sf::backup_path(file)), USER_FILE);

  r = sf::uninstall("Claude Code", file, inst::claude_code_rows("brenik"));
  EXPECT_EQ(r.status, inst::Status::changed) << r.detail;
  EXPECT_EQ(read_file(file), USER_FILE);
  EXPECT_FALSE(fs::exists(sf::backup_path(file)));
  r = sf::uninstall("Claude Code", file, inst::claude_code_rows("brenik"));
  EXPECT_EQ(r.status, inst::Status::unchanged);
  EXPECT_EQ(read_file(file), USER_FILE);
}

TEST(SettingsFile, RemovalKeepsWhatTheUserChangedSinceAndDropsAFileSetupCreated) {
  TempDir home;
  const fs::path file = home.path() / "settings.json";
  write_file(file, USER_FILE);
  ASSERT_EQ(sf::install("Codex", file, inst::codex_rows("brenik")).status, inst::Status::changed);
  std::string text = read_file(file);
  text.replace(text.find("\"opus\""), 6, "\"sonnet\"");
  write_file(file, text);
  ASSERT_EQ(sf::uninstall("Codex", file, inst::codex_rows("brenik")).status, inst::Status::changed);
  std::string expected = USER_FILE;
  expected.replace(expected.find("\"opus\""), 6, "\"sonnet\"");
  EXPECT_EQ(read_file(file), expected);
  EXPECT_TRUE(fs::exists(sf::backup_path(file)));  // not the same file: the backup stays

  const fs::path created = home.path() / "hooks.json";
  ASSERT_EQ(sf::install("Codex", created, inst::codex_rows("brenik")).status, inst::Status::changed);
  EXPECT_FALSE(fs::exists(sf::backup_path(created)));
  ASSERT_EQ(sf::uninstall("Codex", created, inst::codex_rows("brenik")).status, inst::Status::changed);
  EXPECT_FALSE(fs::exists(created));
}

TEST(SettingsFile, OnlyBrenikHandlersAreTakenOut) {
  utils::json_edit::Document d(
      R"({"hooks": {"SessionStart": [{"hooks": [{"type": "command", "command": "other"}, )"
      R"({"type": "command", "command": "'/a b/brenik' session-start --agent claude-code"}]}], )"
      R"("PostToolUse": [{"matcher": "Bash", "hooks": [{"type": "command", "command": "brenik attest add --from-hook --agent codex"}]}]}})");
  EXPECT_EQ(sf::remove_rows(d, inst::claude_code_rows("brenik")), 1);
  EXPECT_EQ(
      json::loads(d.text()),
      json::loads(
          R"({"hooks": {"SessionStart": [{"hooks": [{"type": "command", "command": "other"}]}], )"
          R"("PostToolUse": [{"matcher": "Bash", "hooks": [{"type": "command", "command": "brenik attest add --from-hook --agent codex"}]}]}})"));
}

TEST(SettingsFile, SetupsEntryPointKeepsTheFileAndBacksItUp) {
  TempDir home;
  const fs::path file = home.path() / "settings.json";
  write_file(file, USER_FILE);
  ASSERT_EQ(inst::install_hook_file("Claude Code", file, inst::claude_code_rows("brenik")).status,
            inst::Status::changed);
  const std::string after = read_file(file);
  EXPECT_EQ(after.find("\\u"), std::string::npos) << after;
  EXPECT_NE(after.find("\"permissions\": {\"allow\": [\"Bash(ls)\", \"Read\"]},"), std::string::npos) << after;
  EXPECT_EQ(read_file(sf::backup_path(file)), USER_FILE);
}

TEST(SettingsFile, InvalidOrOddFilesAreLeftUntouched) {
  TempDir home;
  const fs::path file = home.path() / "settings.json";
  for (const std::string& text : {std::string("{not json"), std::string("[1, 2]"), std::string("{\"hooks\": 3}")}) {
    write_file(file, text);
    auto r = sf::install("Claude Code", file, inst::claude_code_rows("brenik"));
    EXPECT_EQ(r.status, inst::Status::failed) << text;
    EXPECT_EQ(read_file(file), text);
    EXPECT_FALSE(fs::exists(sf::backup_path(file)));
  }
}

}  // namespace
}  // namespace brenik::testing
