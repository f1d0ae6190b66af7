// Registry, name normalisation, detection, skill writing and installer
// coverage.
#include <gtest/gtest.h>

#include "agents/registry.hpp"
#include "agents/skills_writer.hpp"
#include "utils/errors.hpp"
#include "fixtures/agents/agents_env.hpp"

namespace {

using namespace agents_test;
using namespace brenik::agents;

TEST(AgentRegistry, FixedOrderAndLookupByAnySpelling) {
  std::vector<std::string> names;
  for (const auto& a : iter_adapters()) names.push_back(a->name());
  EXPECT_EQ(names, (std::vector<std::string>{"claude-code", "codex", "cursor", "windsurf"}));
  EXPECT_EQ(get_adapter_by_name("Claude Code")->provider(), "anthropic");
  EXPECT_EQ(get_adapter_by_name("codex_cli")->provider(), "openai");
  EXPECT_EQ(get_adapter_by_name("cascade")->name(), "windsurf");
  EXPECT_EQ(get_adapter_by_name("gemini-cli"), nullptr);
  EXPECT_EQ(get_adapter_by_name(""), nullptr);
}

TEST(AgentRegistry, NormalizeAgentName) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Claude Code", "claude-code"}, {"claude_code", "claude-code"},
      {"claude", "claude-code"},      {"ClaudeCode", "claude-code"},
      {"claude-code", "claude-code"}, {" CLAUDE-CODE ", "claude-code"},
      {"openai codex", "codex"},      {"codex-cli", "codex"},
      {"codex_cli", "codex"},         {"Codex", "codex"},
      {"Cursor", "cursor"},           {"cursor-agent", "cursor"},
      {"Windsurf", "windsurf"},       {"cascade", "windsurf"},
      {"codeium", "windsurf"},        {"  Gemini CLI ", "gemini-cli"},
      {"my_agent x", "my-agent-x"},   {"", ""}};
  for (const auto& [in, out] : cases) EXPECT_EQ(normalize_agent_name(in), out) << in;
}

TEST(AgentRegistry, DetectActiveAgentFollowsTheEnvironmentInOrder) {
  TempDir tmp;
  ScopedEnv env;
  isolate_harness_env(env, tmp.path());
  EXPECT_EQ(detect_active_agent(), nullptr);
  env.set("CURSOR_EXTENSION_HOST_ROLE", "agent-exec");
  EXPECT_EQ(detect_active_agent()->name(), "cursor");
  env.set("CODEX_THREAD_ID", "019bd6d8-b99b-7eb1-847c-87c3da10673a");
  EXPECT_EQ(detect_active_agent()->name(), "codex");
  env.set("CLAUDECODE", "1");
  EXPECT_EQ(detect_active_agent()->name(), "claude-code");
  env.unset("CLAUDECODE");
  env.unset("CODEX_THREAD_ID");
  env.unset("CURSOR_EXTENSION_HOST_ROLE");
  env.set("CURSOR_AGENT", "1");
  EXPECT_EQ(detect_active_agent()->name(), "cursor");
}

TEST(AgentRegistry, DetectInRepoAndStorelessAdapters) {
  TempDir tmp;
  ScopedEnv env;
  isolate_harness_env(env, tmp.path());
  const fs::path& repo = tmp.path();
  for (const auto& a : iter_adapters()) EXPECT_FALSE(a->detect_in_repo(repo)) << a->name();
  fs::create_directories(repo / ".claude");
  write_text(repo / ".cursorrules", "rules");
  write_text(repo / ".windsurfrules", "rules");
  fs::create_directories(repo / ".codex");
  for (const auto& a : iter_adapters()) EXPECT_TRUE(a->detect_in_repo(repo)) << a->name();
  for (const char* n : {"cursor", "windsurf"}) {
    auto a = get_adapter_by_name(n);
    EXPECT_FALSE(a->get_session_id(repo));
    EXPECT_FALSE(a->get_telemetry_for_session(repo, std::string("x")));
    EXPECT_TRUE(a->sessions_mentioning(repo, {"1a2b3c4d5e6f708192a3b4c5d6e7f80910a1b2c3"}).empty());
  }
}

struct SkillDirCase {
  const char* agent;
  const char* dir;
};

class WriteSkills : public ::testing::TestWithParam<SkillDirCase> {
protected:
  TempDir tmp;
  fs::path repo() const { return tmp.path() / "repo"; }
  fs::path dir() const { return repo() / GetParam().dir; }
  AdapterPtr adapter() const { return get_adapter_by_name(GetParam().agent); }
  void SetUp() override { fs::create_directories(repo()); }
};

J skill(const std::string& slug, const std::string& content, const std::string& description = "") {
  J s = {{"slug", slug}, {"content", content}, {"source", "project"}};
  if (!description.empty()) s["description"] = description;
  return s;
}

std::string read(const fs::path& p) {
  std::ifstream in(p);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_P(WriteSkills, ReplacesOnlyManagedSkillsAndKeepsTheUsersOwn) {
  write_text(dir() / "mine" / "SKILL.md", "user's own\n");
  write_text(dir() / "shared" / "SKILL.md", "user's shared\n");
  adapter()->write_skills(repo(), J::array({skill("alpha", "# Alpha\nDo alpha things.", "Alpha \"quoted\"\nskill"),
                                            skill("beta", "---\nname: beta\ndescription: b\n---\nBody\n"),
                                            skill("shared", "ours"), skill("../escape", "x"), skill("Bad", "x"),
                                            skill("a..b", "x"), skill(".hidden", "x"), J("not an object")}));
  EXPECT_EQ(read(dir() / "alpha" / "SKILL.md"),
            "---\nname: alpha\ndescription: \"Alpha \\\"quoted\\\" skill\"\n---\n\n# Alpha\nDo alpha things.\n");
  EXPECT_EQ(read(dir() / "beta" / "SKILL.md"), "---\nname: beta\ndescription: b\n---\nBody\n");
  EXPECT_EQ(read(dir() / "shared" / "SKILL.md"), "user's shared\n");
  EXPECT_FALSE(fs::exists(dir() / "Bad"));
  EXPECT_FALSE(fs::exists(dir() / "a..b"));
  EXPECT_FALSE(fs::exists(dir() / ".hidden"));
  EXPECT_FALSE(fs::exists(dir().parent_path() / "escape"));

  // Second round: alpha changes, beta is gone, the user's skills stay.
  adapter()->write_skills(repo(), J::array({skill("alpha", "v2")}));
  EXPECT_EQ(read(dir() / "alpha" / "SKILL.md"), "---\nname: alpha\ndescription: \"v2\"\n---\n\nv2\n");
  EXPECT_FALSE(fs::exists(dir() / "beta"));
  EXPECT_EQ(read(dir() / "mine" / "SKILL.md"), "user's own\n");
  EXPECT_EQ(read(dir() / "shared" / "SKILL.md"), "user's shared\n");

  // An empty list removes what is ours, nothing else.
  adapter()->write_skills(repo(), J::array());
  EXPECT_FALSE(fs::exists(dir() / "alpha"));
  EXPECT_TRUE(fs::exists(dir() / "mine" / "SKILL.md"));
  EXPECT_FALSE(fs::exists(dir() / detail::MANAGED_MANIFEST));
}

TEST_P(WriteSkills, NothingIsCreatedForNothingAndLinksOutOfTheRepoAreRefused) {
  adapter()->write_skills(repo(), J::array());
  EXPECT_FALSE(fs::exists(dir()));
  EXPECT_THROW(adapter()->write_skills(repo(), J::object()), brenik::Error);

  fs::path outside = tmp.path() / "outside";
  fs::create_directories(outside);
  fs::create_directories(dir().parent_path());
  fs::create_directory_symlink(outside, dir());
  EXPECT_THROW(adapter()->write_skills(repo(), J::array({skill("alpha", "x")})), brenik::Error);
  EXPECT_TRUE(fs::is_empty(outside));
}

INSTANTIATE_TEST_SUITE_P(Agents, WriteSkills,
                         ::testing::Values(SkillDirCase{"claude-code", ".claude/skills"},
                                           SkillDirCase{"codex", ".agents/skills"},
                                           SkillDirCase{"cursor", ".cursor/skills"},
                                           SkillDirCase{"windsurf", ".windsurf/skills"}),
                         [](const auto& info) {
                           std::string n = info.param.agent;
                           for (char& c : n)
                             if (c == '-') c = '_';
                           return n;
                         });

TEST(NpxCoversSkills, FollowsTheLockAndEachAgentsDirectory) {
  TempDir tmp;
  const fs::path& repo = tmp.path();
  auto covered = [&](const char* n) { return get_adapter_by_name(n)->npx_covers_skills(repo); };
  // Installed files but no lock: nothing counts as installed.
  write_text(repo / ".agents" / "skills" / "tdd" / "SKILL.md", "x");
  for (const char* n : {"claude-code", "codex", "cursor", "windsurf"}) EXPECT_FALSE(covered(n)) << n;

  write_text(repo / "skills-lock.json",
             R"({"version":1,"skills":{"tdd":{"source":"o/r","sourceType":"github","computedHash":"ab"}}})");
  EXPECT_TRUE(covered("codex"));
  EXPECT_TRUE(covered("cursor"));
  EXPECT_FALSE(covered("claude-code"));
  EXPECT_FALSE(covered("windsurf"));

  fs::create_directories(repo / ".claude" / "skills");
  fs::create_directory_symlink("../../.agents/skills/tdd", repo / ".claude" / "skills" / "tdd");
  EXPECT_TRUE(covered("claude-code"));

  // A second locked skill that is not installed anywhere.
  write_text(repo / "skills-lock.json", R"({"version":1,"skills":{"tdd":{},"review":{}}})");
  EXPECT_FALSE(covered("codex"));
  EXPECT_FALSE(covered("claude-code"));

  write_text(repo / "skills-lock.json", "{corrupt");
  EXPECT_FALSE(covered("codex"));
}

}  // namespace
