// A hostile clone: `.brenik/` committed with links planted where brenik
// writes (the log, its lock and index, the attestations and ledger folders,
// `.platform`, `.brenik` itself). Every hook and command runs on the clone
// with HOME in a temporary folder, which must come out byte for byte as it
// went in, and every hook must end with status 0.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_repo.hpp"
#include "utils/json.hpp"
#include "utils/process.hpp"
#include "utils/sha256.hpp"

namespace brenik::testing {
namespace {

using Env = std::map<std::string, std::optional<std::string>>;

// Names, link targets and contents of everything below `dir`.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    const std::string rel = e.path().lexically_relative(dir).string();
    if (e.is_symlink())
      out[rel] = "link " + fs::read_symlink(e.path()).string();
    else if (e.is_regular_file())
      out[rel] = "file " + utils::sha256_hex(read_file(e.path()));
    else
      out[rel] = "folder";
  }
  return out;
}

enum class Planting { files, platform_folder, brenik_folder };

std::string name_of(const ::testing::TestParamInfo<Planting>& info) {
  switch (info.param) {
    case Planting::files: return "LogLockIndexAndFolders";
    case Planting::platform_folder: return "PlatformFolder";
    case Planting::brenik_folder: return "BrenikFolder";
  }
  return "unknown";
}

class PlantedLinks : public ::testing::TestWithParam<Planting> {
protected:
  void SetUp() override {
    write_file(home() / ".bashrc", "export PATH=/usr/bin:/bin\n");
    write_file(home() / ".profile", ". ~/.bashrc\n");
    write_file(home() / "elsewhere" / "keep.txt", "mine\n");
    write_file(home() / "elsewhere" / "config.yaml", "installed_at: '2000-01-01T00:00:00Z'\n");
    env = isolated_cli_env(home());

    origin.commit_file("README", "hello\n", "init");
    const fs::path b = origin.root() / ".brenik";
    auto link = [&](const fs::path& target, const fs::path& at) {
      fs::create_directories(at.parent_path());
      fs::create_symlink(target, at);
    };
    switch (GetParam()) {
      case Planting::files:
        write_file(b / ".platform" / "config.yaml", "installed_at: '2000-01-01T00:00:00Z'\n");
        link(home() / ".bashrc", b / ".platform" / "log.jsonl");
        link(home() / ".profile", b / ".platform" / "log.jsonl.lock");
        link(home() / "index-target", b / ".platform" / "log.jsonl.index");
        link(home() / "sync-log", b / ".platform" / "logs" / "sync.log");
        link(home() / "elsewhere", b / "attestations");
        link(home() / "elsewhere", b / "ledger");
        break;
      case Planting::platform_folder:
        write_file(b / "attestations" / "README", "archived attestations\n");
        link(home() / "elsewhere", b / ".platform");
        break;
      case Planting::brenik_folder: link(home() / "elsewhere", b); break;
    }
    origin.git({"add", "-f", "."});
    origin.git({"commit", "-q", "-m", "Initial $(touch " + (home() / "pwned").string() + ")"});
    git(clones.path(), {"clone", "-q", origin.root().string(), "clone"});
    before = snapshot(home());
  }

  fs::path home() const { return home_dir.path(); }
  fs::path clone() const { return clones.path() / "clone"; }

  utils::RunResult brenik(const std::vector<std::string>& args,
                          const std::optional<std::string>& stdin_data = std::nullopt, const Env& extra = {}) {
    Env e = env;
    for (const auto& [k, v] : extra) e[k] = v;
    return run_binary("brenik", args, {.cwd = clone(), .timeout_seconds = 60.0, .stdin_data = stdin_data, .env = e});
  }
  // git in the clone with the temporary HOME, so that the hook it runs sees it too.
  utils::RunResult git_in_clone(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"git"};
    argv.insert(argv.end(), args.begin(), args.end());
    return utils::run(argv, {.cwd = clone(), .timeout_seconds = 60.0, .env = env});
  }
  std::string commit_payload() const {
    return R"({"session_id": "s-1", "cwd": )" + json::dumps(json::Value(clone().string())) +
           R"(, "hook_event_name": "PostToolUse", "tool_name": "Bash", "tool_input": {"command": "git commit -m x"},)"
           R"( "tool_response": {"exit_code": 0}})";
  }

  TempDir home_dir, clones;
  TempRepo origin;
  Env env;
  std::map<std::string, std::string> before;
};

// A command may refuse (status 1, or 2 for what it cannot do here), never crash or hang.
void expect_ended(const utils::RunResult& r, const std::string& what) {
  EXPECT_EQ(r.status, utils::RunStatus::exited) << what << "\n" << r.out << r.err;
  EXPECT_TRUE(r.exit_code >= 0 && r.exit_code <= 2) << what << " exited " << r.exit_code << "\n" << r.out << r.err;
}

void expect_hook_ok(const utils::RunResult& r, const std::string& what) {
  EXPECT_TRUE(r.ok()) << what << " exited " << r.exit_code << "\n" << r.out << r.err;
}

TEST_P(PlantedLinks, NoHookOrCommandWritesOutsideTheClone) {
  expect_hook_ok(brenik({"session-start", "--agent", "claude-code"},
                        R"({"cwd": )" + json::dumps(json::Value(clone().string())) + "}"),
                 "session-start");
  // The git hook's entry: 1 means "not recorded", the hook script's own fallback then decides.
  expect_ended(brenik({"sync", "--record-commit"}), "sync --record-commit");

  // setup installs the git hook, so the commits below run it for real.
  expect_ended(brenik({"setup", "--no-harness-hooks"}), "setup");

  write_file(clone() / "a.txt", "a\n");
  ASSERT_TRUE(git_in_clone({"add", "a.txt"}).ok());
  const std::string staged = git_in_clone({"diff", "--staged"}).out;
  expect_ended(brenik({"attest", "--staged-diff-hash", utils::sha256_hex(staged), "--model", "claude-opus-4-6",
                       "--summary", "Added $(touch " + (home() / "pwned").string() + ")"}),
               "attest");
  const auto commit = git_in_clone({"commit", "-q", "-m", "Add a $(touch " + (home() / "pwned").string() + ")"});
  EXPECT_TRUE(commit.ok()) << commit.out << commit.err;

  expect_ended(brenik({"sync", "--record-commit"}), "sync --record-commit after a commit");
  expect_hook_ok(brenik({"attest", "add", "--from-hook", "--agent", "claude-code"}, commit_payload()),
                 "attest add --from-hook");
  write_file(clone() / "b.txt", "b\n");
  ASSERT_TRUE(git_in_clone({"add", "b.txt"}).ok());
  ASSERT_TRUE(git_in_clone({"commit", "-q", "-m", "Add b"}).ok());
  expect_ended(brenik({"attest", "--staged-diff-hash", utils::sha256_hex(""), "--model", "claude-opus-4-6", "--summary",
                       "Added b"}),
               "attest after the commit");
  expect_ended(brenik({"attest", "add", "--commit", "HEAD"}), "attest add --commit HEAD");
  expect_ended(brenik({"attest", "add", "--commit", "HEAD", "--session", "s-1", "--task-type", "feature"}),
               "attest add --commit HEAD --session");
  expect_ended(brenik({"status"}), "status");
  // Nothing listens on the discard port: the upload fails and leaves its debug log.
  const auto sync =
      brenik({"sync"}, std::nullopt,
             {{"BRENIK_API_KEY", "bk_test"}, {"BRENIK_API_URL", "http://127.0.0.1:9"}, {"BRENIK_DEBUG", "1"}});
  EXPECT_EQ(sync.status, utils::RunStatus::exited) << sync.out << sync.err;

  EXPECT_EQ(snapshot(home()), before);
  EXPECT_FALSE(fs::exists(home() / "pwned"));
  // The planted links are still links: refused, neither followed nor replaced.
  for (const auto& [rel, what] : snapshot(origin.root())) {
    if (what.rfind("link ", 0) == 0 && rel.rfind(".git", 0) != 0) {
      EXPECT_TRUE(fs::is_symlink(clone() / rel)) << rel;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Clone, PlantedLinks,
                         ::testing::Values(Planting::files, Planting::platform_folder, Planting::brenik_folder),
                         name_of);

}  // namespace
}  // namespace brenik::testing
