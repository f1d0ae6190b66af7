// `brenik doctor` through the real binary: silent success on a sound setup,
// one line per problem with its fix, exit 1, and the same in JSON.
#include <gtest/gtest.h>

#include "services/doctor/doctor.hpp"
#include "support/temp_repo.hpp"
#include "utils/json.hpp"
#include "utils/process.hpp"

namespace brenik::testing {
namespace {

class DoctorCli : public ::testing::Test {
protected:
  void SetUp() override {
    repo.commit_file("README", "x\n", "init");
    fs::create_directories(home.path() / ".claude");
    fs::create_directories(home.path() / ".codex");
    auto r = brenik({"setup"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    // Linked, signed in, and Codex trusting brenik's rows.
    const fs::path config = repo.root() / ".brenik/.platform/config.yaml";
    write_file(config, read_file(config) + "project_id: 7\n");
    const std::string b = built_binary("brenik").string();
    write_file(home.path() / ".codex/config.toml",
               "model = \"o4\"\n\n[hooks.state]\n\"PostToolUse:Bash:" + b +
                   " attest add --from-hook --agent codex\" = \"trusted\"\n\"SessionStart:" + b +
                   " session-start --agent codex\" = \"trusted\"\n");
  }
  std::map<std::string, std::optional<std::string>> env() const {
    auto e = isolated_cli_env(home.path());
    e["BRENIK_API_KEY"] = "bk_test";
    return e;
  }
  utils::RunResult brenik(const std::vector<std::string>& args) {
    return run_binary("brenik", args, {.cwd = repo.root(), .timeout_seconds = 60.0, .env = env()});
  }
  static std::vector<std::string> problem_lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < text.size()) {
      auto j = text.find('\n', i);
      if (j == std::string::npos) j = text.size();
      std::string line = text.substr(i, j - i);
      if (line.find(" — fix: ") != std::string::npos) out.push_back(line);
      i = j + 1;
    }
    return out;
  }

  TempRepo repo;
  TempDir home;
};

TEST_F(DoctorCli, ASoundSetupHasNoProblemsAndJsonSaysSo) {
  auto r = brenik({"doctor"});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_TRUE(problem_lines(r.out + r.err).empty()) << r.out << r.err;
  r = brenik({"doctor", "--json"});
  EXPECT_EQ(r.exit_code, 0);
  auto v = json::loads(r.out);
  EXPECT_EQ(v["ok"], true);
  EXPECT_EQ(v["problems"], 0);
  EXPECT_GE(v["checks"].size(), 8u);
}

TEST_F(DoctorCli, AMovedProgramAndAMissingRowAreEachOneLineWithTheirFix) {
  const fs::path settings = home.path() / ".claude/settings.json";
  std::string text = read_file(settings);
  const std::string real = built_binary("brenik").string();
  for (auto at = text.find(real); at != std::string::npos; at = text.find(real))
    text.replace(at, real.size(), "/nonexistent/bin/brenik");
  write_file(settings, text);
  fs::remove(home.path() / ".codex/hooks.json");
  auto r = brenik({"doctor"});
  EXPECT_EQ(r.exit_code, 1);
  const auto lines = problem_lines(r.out + r.err);
  ASSERT_EQ(lines.size(), 4u) << r.out << r.err;  // three Claude rows, Codex's file
  for (const auto& line : lines) EXPECT_NE(line.find("fix: brenik setup"), std::string::npos) << line;
  EXPECT_NE(lines[0].find("/nonexistent/bin/brenik, which does not exist"), std::string::npos) << lines[0];
  auto v = json::loads(brenik({"doctor", "--json"}).out);
  EXPECT_EQ(v["ok"], false);
  EXPECT_EQ(v["problems"], 4);

  ASSERT_EQ(brenik({"setup"}).exit_code, 0);
  EXPECT_EQ(brenik({"doctor"}).exit_code, 0);

  // git starts the post-commit hook from the program on its #! line.
  const fs::path hook = repo.root() / ".git/hooks/post-commit";
  text = read_file(hook);
  ASSERT_EQ(text.rfind("#!" + real + " ", 0), 0u) << text.substr(0, 80);
  write_file(hook, "#!/nonexistent/bin/brenik" + text.substr(2 + real.size()));
  r = brenik({"doctor"});
  EXPECT_EQ(r.exit_code, 1);
  ASSERT_EQ(problem_lines(r.out + r.err).size(), 1u) << r.out << r.err;
  EXPECT_NE(problem_lines(r.out + r.err)[0].find("post-commit hook: .git/hooks/post-commit runs "
                                                 "/nonexistent/bin/brenik, which does not exist"),
            std::string::npos)
      << r.out << r.err;
}

TEST_F(DoctorCli, AHookManagerTakingOverHooksPathIsReported) {
  repo.git({"config", "core.hooksPath", ".githooks"});
  auto r = brenik({"doctor"});
  EXPECT_EQ(r.exit_code, 1);
  const auto lines = problem_lines(r.out + r.err);
  ASSERT_EQ(lines.size(), 4u) << r.out << r.err;
  EXPECT_NE(lines[0].find("core.hooksPath now leads to .githooks, away from brenik's hook in .git/hooks"),
            std::string::npos)
      << lines[0];

  repo.git({"config", "core.hooksPath", ".husky/_"});
  r = brenik({"doctor"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE((r.out + r.err).find("husky runs git's hooks and .husky/post-commit does not run brenik"),
            std::string::npos)
      << r.out << r.err;
}

TEST_F(DoctorCli, SignInLinkAndCodexTrustProblems) {
  write_file(home.path() / ".codex/config.toml", "model = \"o4\"\n");
  const fs::path config = repo.root() / ".brenik/.platform/config.yaml";
  std::string text = read_file(config);
  text.erase(text.find("project_id: 7\n"));
  write_file(config, text);
  auto r = run_binary("brenik", {"doctor"},
                      {.cwd = repo.root(), .timeout_seconds = 60.0, .env = isolated_cli_env(home.path())});
  EXPECT_EQ(r.exit_code, 1);
  const std::string all = r.out + r.err;
  EXPECT_NE(all.find("fix: brenik auth login"), std::string::npos) << all;
  EXPECT_NE(all.find("fix: brenik sync"), std::string::npos) << all;
  EXPECT_NE(all.find("fix: in Codex, open /hooks and trust brenik's hooks"), std::string::npos) << all;
  EXPECT_EQ(problem_lines(all).size(), 3u) << all;
}

TEST_F(DoctorCli, AFailedOrUnfinishedBackgroundRunIsAProblem) {
  const fs::path state = repo.root() / ".brenik/.platform/background-sync.json";
  write_file(state, R"({"started_at": "2026-01-02T10:00:00Z", "finished_at": "2026-01-02T10:00:01Z", "ok": false,
                       "failure": "refresh: fetch_context ConnectionError"})");
  auto r = brenik({"doctor"});
  EXPECT_EQ(r.exit_code, 1);
  std::string all = r.out + r.err;
  EXPECT_NE(all.find("failed: refresh: fetch_context ConnectionError — fix: brenik sync"), std::string::npos) << all;
  EXPECT_EQ(problem_lines(all).size(), 1u) << all;

  // Killed mid-run: started, never finished, and nobody holds its lock.
  write_file(state, R"({"started_at": "2026-01-02T10:00:00Z", "finished_at": null, "ok": false, "failure": null})");
  r = brenik({"doctor"});
  EXPECT_EQ(r.exit_code, 1);
  all = r.out + r.err;
  EXPECT_NE(all.find("never finished"), std::string::npos) << all;

  write_file(state, R"({"started_at": "2026-01-02T10:00:00Z", "finished_at": "2026-01-02T10:00:01Z", "ok": true,
                       "failure": null})");
  r = brenik({"doctor"});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

TEST_F(DoctorCli, OutsideASetUpRepositoryItSaysToRunSetup) {
  TempRepo other;
  auto r = run_binary("brenik", {"doctor"}, {.cwd = other.root(), .env = env()});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE((r.out + r.err).find("brenik is not set up in this repository — fix: brenik setup"), std::string::npos)
      << r.out << r.err;
}

}  // namespace
}  // namespace brenik::testing
