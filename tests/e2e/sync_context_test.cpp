// `brenik sync` end to end against the real brenik-server: a fresh
// repository set up for Claude Code and Codex gets the project's cache,
// skills and guidance; a sync with nothing new rewrites nothing; what the
// server drops goes and the rest stays; a failed refresh names its stage.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <utime.h>

#include <map>

#include "paths/paths.hpp"
#include "support/server_fixture.hpp"
#include "support/temp_repo.hpp"
#include "utils/json.hpp"
#include "utils/yaml.hpp"

namespace brenik::testing {
namespace {

using json::Value;

const char* REMOTE = "https://github.com/acme/widget.git";

// Modification times (ns) of every regular file below `dir`, by relative path.
std::map<std::string, long long> mtimes(const fs::path& dir) {
  std::map<std::string, long long> out;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
    if (!it->is_regular_file()) continue;
    struct stat st {};
    ::lstat(it->path().c_str(), &st);
    out[fs::relative(it->path(), dir).string()] = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
  }
  return out;
}

// Every file below `dir` one hour older: a rewrite would show.
void age_one(const fs::path& file) {
  struct stat st {};
  ::lstat(file.c_str(), &st);
  const struct utimbuf t { st.st_atime - 3600, st.st_mtime - 3600 };
  ::utime(file.c_str(), &t);
}

void age(const fs::path& dir) {
  if (!fs::is_directory(dir)) return age_one(dir);
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
    if (it->is_regular_file()) age_one(it->path());
  }
}

class SyncContext : public ::testing::Test {
protected:
  ScopedEnv agent_env;
  void SetUp() override {
    isolate_git_environment();
    clear_agent_environment(agent_env);
    repo.git({"remote", "add", "origin", REMOTE});
    repo.commit_file("README", "x\n", "init");
    project = world.project(REMOTE);
  }

  void seed(const std::vector<std::string>& specs, const std::vector<std::string>& skills) {
    TempDir dir;
    write_file(dir.path() / "context.json", R"({"systems": ["core"], "name": "widget"})");
    write_file(dir.path() / "brenikrules.yaml",
               "principles:\n  small: Keep changes small\nchecks:\n  tests: Run tests\n");
    write_file(dir.path() / "brenikstate.yaml",
               "architecture:\n  elements:\n    api: {kind: service}\n    db: {kind: store}\n");
    write_file(dir.path() / "guardrails.json",
               R"({"rules": [{"ruleType": "constraint", "name": "no-secrets", "checkCondition": "scan"}]})");
    write_file(dir.path() / "memories.json", R"({"memories": [{"text": "we use tabs"}]})");
    for (const auto& d : specs) write_file(dir.path() / "specs" / (d + ".md"), "# " + d + "\n");
    write_file(dir.path() / "docs" / "architecture.md", "# Architecture\n");
    Value list = Value::array();
    for (const auto& s : skills)
      list.push_back({{"slug", s},
                      {"description", "The " + s + " skill"},
                      {"content", "# " + s + "\nDo it well.\n"},
                      {"source", s == "tdd" ? "platform" : "project"}});
    write_file(dir.path() / "skills.json", Value{{"skills", list}}.dump());
    write_file(dir.path() / "custom-docs" / "project" / "setup.md", "Run make.\n");
    server_admin(world.db, {"load-context", "--project", std::to_string(project), dir.path().string()});
  }

  utils::RunResult brenik(const std::vector<std::string>& args,
                          std::map<std::string, std::optional<std::string>> extra = {},
                          std::optional<std::string> url = std::nullopt) {
    auto env = isolated_cli_env(home.path());
    env["XDG_CONFIG_HOME"] = home.path().string();
    env["BRENIK_API_KEY"] = world.key;
    env["BRENIK_API_URL"] = url.value_or(world.url());
    // A real `npx` may be installed here: never reach the network for it.
    env["BRENIK_SKIP_PLATFORM_SKILLS"] = "1";
    for (auto& [k, v] : extra) env[k] = v;
    return run_binary("brenik", args, {.cwd = repo.root(), .timeout_seconds = 120.0, .env = env});
  }

  // A repository used with Claude Code (its folder) and Codex (AGENTS.md).
  void set_up() {
    fs::create_directories(repo.root() / ".claude");
    write_file(repo.root() / "AGENTS.md", "# House rules\r\nUse tabs.\r\n");
    auto r = brenik({"setup", "--no-harness-hooks"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  }

  ServerWorld world;
  TempRepo repo;
  TempDir home;
  std::int64_t project = 0;
};

TEST_F(SyncContext, AFreshRepositoryGetsTheCacheTheSkillsAndTheGuidance) {
  seed({"auth", "billing", "search"}, {"review", "tdd"});
  set_up();
  auto r = brenik({"sync"});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Linked to project " + std::to_string(project)), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Context cache refreshed: 3 rules, 3 specs, 2 documents, 2 skills."), std::string::npos)
      << r.out << r.err;

  const fs::path platform = paths::platform_dir(repo.root());
  const Value rules = yaml::load(read_file(platform / "brenikrules.yaml"));
  EXPECT_EQ(rules["principles"]["small"], "Keep changes small");
  EXPECT_EQ(rules["constraints"]["no-secrets"]["condition"], "scan");
  EXPECT_NE(read_file(platform / "brenikstate.yaml").find("api"), std::string::npos);
  EXPECT_EQ(read_file(paths::canonical_docs_dir(repo.root()) / "architecture.md"), "# Architecture\n");
  EXPECT_EQ(read_file(paths::guidance_dir(repo.root()) / "project/setup.md"), "Run make.\n");
  EXPECT_NE(read_file(paths::memories_file(repo.root())).find("we use tabs"), std::string::npos);
  EXPECT_TRUE(fs::exists(paths::skills_dir(repo.root()) / "review.md"));
  EXPECT_TRUE(fs::exists(paths::skills_dir(repo.root()) / "tdd.md"));

  // Skills reach both configured agents (no installer here: the server's
  // platform skill stands in).
  for (const char* dir : {".claude/skills", ".agents/skills"})
    for (const char* s : {"review", "tdd"})
      EXPECT_TRUE(fs::is_regular_file(repo.root() / dir / s / "SKILL.md")) << dir << "/" << s;

  // The guidance block, with the skills, in each agent's file; the user's
  // own text (CRLF) stays as written.
  const std::string claude = read_file(repo.root() / "CLAUDE.md");
  EXPECT_NE(claude.find("brenik attest --staged-diff-hash"), std::string::npos) << claude;
  EXPECT_NE(claude.find("`review`: The review skill"), std::string::npos) << claude;
  const std::string agents = read_file(repo.root() / "AGENTS.md");
  EXPECT_EQ(agents.rfind("# House rules\r\nUse tabs.\r\n\r\n<!-- brenik:begin", 0), 0u) << agents;
  EXPECT_NE(agents.find("`tdd`"), std::string::npos);

  r = brenik({"session-start", "--agent", "claude-code"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  for (const char* line : {"elements: 2", "rules: 3", "specs: 3", "cache: fresh"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;

  // The session start recorded the first commit; this sync uploads it.
  ASSERT_EQ(brenik({"sync"}).exit_code, 0);
  // Nothing new on the server nor in the log: no cache file, skill or
  // guidance file is rewritten (the configuration keeps its bookkeeping).
  for (const char* dir : {".brenik", ".claude", ".agents"}) age(repo.root() / dir);
  age(repo.root() / "CLAUDE.md");
  age(repo.root() / "AGENTS.md");
  auto before = mtimes(repo.root());
  r = brenik({"sync"});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  auto after = mtimes(repo.root());
  // The log's index (derived from the log, the upload's own bookkeeping) is
  // not a cache file.
  for (const char* bookkeeping :
       {".brenik/.platform/config.yaml", ".brenik/.platform/config.yaml.lock", ".brenik/.platform/log.jsonl.index"}) {
    before.erase(bookkeeping);
    after.erase(bookkeeping);
  }
  for (auto it = after.begin(); it != after.end();)
    it = it->first.rfind(".git/", 0) == 0 ? after.erase(it) : std::next(it);
  for (auto it = before.begin(); it != before.end();)
    it = it->first.rfind(".git/", 0) == 0 ? before.erase(it) : std::next(it);
  EXPECT_EQ(after, before);
}

TEST_F(SyncContext, WhatTheServerDropsGoesAndTheRestStays) {
  seed({"auth", "billing", "search"}, {"review", "lint", "tdd"});
  set_up();
  ASSERT_EQ(brenik({"sync"}).exit_code, 0);
  ASSERT_TRUE(fs::exists(repo.root() / ".claude/skills/lint/SKILL.md"));

  seed({"auth", "billing"}, {"review", "tdd"});
  auto r = brenik({"sync"});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("2 specs"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(paths::specs_dir(repo.root()) / "search"));
  EXPECT_TRUE(fs::exists(paths::specs_dir(repo.root()) / "auth"));
  EXPECT_TRUE(fs::exists(paths::specs_dir(repo.root()) / "billing"));
  EXPECT_FALSE(fs::exists(paths::skills_dir(repo.root()) / "lint.md"));
  EXPECT_TRUE(fs::exists(paths::skills_dir(repo.root()) / "review.md"));
  for (const char* dir : {".claude/skills", ".agents/skills"}) {
    EXPECT_FALSE(fs::exists(repo.root() / dir / "lint")) << dir;
    EXPECT_TRUE(fs::exists(repo.root() / dir / "review/SKILL.md")) << dir;
  }
  EXPECT_EQ(read_file(repo.root() / "CLAUDE.md").find("`lint`"), std::string::npos);
  r = brenik({"session-start", "--agent", "codex"});
  EXPECT_NE(r.out.find("specs: 2"), std::string::npos) << r.out;
}

TEST_F(SyncContext, AFailedRefreshNamesItsStageAndKindAndTheDetailsFile) {
  set_up();
  write_repo_config(repo.root(), Value{{"project_id", project}, {"agents", Value::array({"claude-code"})}});
  RawServer down(RawServer::http_reply(503, "text/plain", "maintenance at /srv/secret"));
  auto r = brenik({"sync"}, {{"BRENIK_DEBUG", "1"}}, down.url());
  // Nothing waited for upload: the refresh's failure is told as a warning,
  // the cached copies are kept, and the exit stays 0.
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.err.find("Context cache not refreshed: stage fetch_context ("), std::string::npos) << r.out << r.err;
  const fs::path log = paths::debug_log(repo.root());
  EXPECT_NE(r.out.find("details: " + log.string()), std::string::npos) << r.out << r.err;
  EXPECT_TRUE(fs::exists(log));
  EXPECT_EQ((r.out + r.err).find("/srv/secret"), std::string::npos);
  // The guidance written by setup stays as it was.
  EXPECT_EQ(read_file(repo.root() / "CLAUDE.md").find("Skills of this project"), std::string::npos);
}

}  // namespace
}  // namespace brenik::testing
