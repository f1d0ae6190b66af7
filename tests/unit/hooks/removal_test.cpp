// The pieces of `setup --remove`, each on the files it edits: only brenik's
// part goes, every other byte stays.
#include <gtest/gtest.h>

#include "agents/skills_writer.hpp"
#include "hooks/installer.hpp"
#include "hooks/removal.hpp"
#include "support/temp_repo.hpp"
#include "utils/json_edit.hpp"

namespace brenik::testing {
namespace {

namespace rm = hooks::removal;
namespace inst = hooks::installer;

TEST(RemoveMcp, OnlyTheBrenikServerGoesFromJsonFiles) {
  TempDir dir;
  const fs::path file = dir.path() / "mcp.json";
  const std::string user =
      "{\n  \"mcpServers\": {\n    \"db\": {\"command\": \"db\", \"note\": \"\xc3\xa9t\xc3\xa9\"}\n  }\n}\n";
  utils::json_edit::Document d(user);
  d.set({std::string("mcpServers")}, "brenik", json::loads(R"({"command": "brenik", "args": ["mcp"]})"));
  write_file(file, d.text());
  auto r = rm::remove_mcp_entry("Cursor", file, true);
  EXPECT_EQ(r.status, inst::Status::changed);
  EXPECT_EQ(read_file(file), user);
  EXPECT_EQ(rm::remove_mcp_entry("Cursor", file, true).status, inst::Status::unchanged);

  write_file(file, R"({"mcpServers": {"brenik": {"command": "brenik"}}})");
  rm::remove_mcp_entry("Cursor", file, true);
  EXPECT_FALSE(fs::exists(file));  // it held nothing else
  write_file(file, R"({"mcpServers": {"brenik": {"command": "brenik"}}})");
  rm::remove_mcp_entry("Windsurf", file, false);
  EXPECT_EQ(json::loads(read_file(file)), json::Value::object());

  write_file(file, "{\"mcpServers\": {\"brenik\": ");
  EXPECT_EQ(rm::remove_mcp_entry("Cursor", file, true).status, inst::Status::failed);
  EXPECT_EQ(read_file(file), "{\"mcpServers\": {\"brenik\": ");
}

TEST(RemoveMcp, ClaudeJsonProjectEntryAndTopLevelEntry) {
  TempDir dir;
  const fs::path file = dir.path() / ".claude.json";
  write_file(file, R"({"numStartups": 3, "mcpServers": {"brenik": {"command": "brenik"}, "x": {}},)"
                   R"( "projects": {"/r": {"mcpServers": {"brenik": {"command": "brenik"}}, "allowedTools": []},)"
                   R"( "/other": {"mcpServers": {"brenik": {"command": "brenik"}}}}})");
  ASSERT_EQ(rm::remove_mcp_entry("Claude Code", file, false, std::string("/r")).status, inst::Status::changed);
  EXPECT_EQ(json::loads(read_file(file)),
            json::loads(R"({"numStartups": 3, "mcpServers": {"x": {}}, "projects": {"/r": {"mcpServers": {},)"
                        R"( "allowedTools": []}, "/other": {"mcpServers": {"brenik": {"command": "brenik"}}}}})"));
}

TEST(RemoveMcp, CodexTomlLosesTheBrenikTablesOnly) {
  TempDir dir;
  const fs::path file = dir.path() / "config.toml";
  write_file(
      file,
      "model = \"o4\"\n\n[mcp_servers.brenik]\ncommand = \"brenik\"\n\n[mcp_servers.brenik.env]\nA = \"1\"\n\n"
      "[mcp_servers.brenikish]\ncommand = \"x\"\n\n[ mcp_servers . \"brenik\" ]\nargs = []\n[profiles.a]\nb = 1\n");
  ASSERT_EQ(rm::remove_mcp_entry("Codex", file, false).status, inst::Status::changed);
  EXPECT_EQ(read_file(file), "model = \"o4\"\n\n[mcp_servers.brenikish]\ncommand = \"x\"\n\n[profiles.a]\nb = 1\n");
}

TEST(RemoveBlocks, IgnoreBlockAndGuidanceBlockGoWithTheirBlankLine) {
  TempRepo repo;
  const std::string ignore = "node_modules/\n*.log\n";
  write_file(repo.root() / ".gitignore", ignore);
  ASSERT_EQ(inst::ensure_gitignore(repo.root()).status, inst::Status::changed);
  write_file(repo.root() / ".gitignore", read_file(repo.root() / ".gitignore") + "dist/\n");  // the user's, later
  ASSERT_EQ(rm::remove_gitignore_block(repo.root()).status, inst::Status::changed);
  EXPECT_EQ(read_file(repo.root() / ".gitignore"), ignore + "dist/\n");

  const std::string agents = "# Agents\r\n\r\nBe kind.\r\n";
  write_file(repo.root() / "AGENTS.md", agents + "\r\n<!-- brenik:begin -->\r\nattest\r\n<!-- brenik:end -->\r\n");
  write_file(repo.root() / "CLAUDE.md", "<!-- brenik:begin -->\nattest\n");  // damaged: no end
  auto r = rm::remove_guidance_blocks(repo.root());
  EXPECT_EQ(r.status, inst::Status::changed);
  EXPECT_EQ(read_file(repo.root() / "AGENTS.md"), agents);
  EXPECT_EQ(read_file(repo.root() / "CLAUDE.md"), "<!-- brenik:begin -->\nattest\n");
  ASSERT_EQ(r.notes.size(), 1u);
  EXPECT_NE(r.notes[0].find("no end marker"), std::string::npos);
  // A file that held only the block goes.
  write_file(repo.root() / "GEMINI.md", "<!-- brenik:begin -->\nx\n<!-- brenik:end -->\n");
  rm::remove_guidance_blocks(repo.root());
  EXPECT_FALSE(fs::exists(repo.root() / "GEMINI.md"));
}

TEST(RemoveSkills, OnlyTheManagedSkillsGoAndAnEmptiedFolderWithThem) {
  TempRepo repo;
  json::Value skills = json::Value::array();
  skills.push_back({{"slug", "review"}, {"content", "Review it.\n"}});
  skills.push_back({{"slug", "test-first"}, {"content", "Test it.\n"}});
  agents::detail::write_skills_into(repo.root(), ".claude/skills", skills);
  agents::detail::write_skills_into(repo.root(), ".cursor/skills", skills);
  // The user's own skill beside ours, and a file of theirs in one of our folders.
  write_file(repo.root() / ".claude/skills/mine/SKILL.md", "mine\n");
  write_file(repo.root() / ".claude/skills/review/notes.md", "kept\n");

  auto r = rm::remove_distributed_skills(repo.root());
  EXPECT_EQ(r.status, inst::Status::changed);
  EXPECT_NE(r.detail.find(".claude/skills: review test-first"), std::string::npos) << r.detail;
  EXPECT_EQ(read_file(repo.root() / ".claude/skills/mine/SKILL.md"), "mine\n");
  EXPECT_EQ(read_file(repo.root() / ".claude/skills/review/notes.md"), "kept\n");
  EXPECT_FALSE(fs::exists(repo.root() / ".claude/skills/review/SKILL.md"));
  EXPECT_FALSE(fs::exists(repo.root() / ".claude/skills/test-first"));
  EXPECT_FALSE(fs::exists(repo.root() / ".claude/skills" / agents::detail::MANAGED_MANIFEST));
  EXPECT_FALSE(fs::exists(repo.root() / ".cursor/skills"));  // held only ours
  EXPECT_TRUE(fs::exists(repo.root() / ".cursor"));

  EXPECT_EQ(rm::remove_distributed_skills(repo.root()).status, inst::Status::unchanged);  // idempotent
}

}  // namespace
}  // namespace brenik::testing
