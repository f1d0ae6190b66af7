// `cmake --install` into a temporary prefix gives a brenik that works from
// there alone, and a brenik copied away from its libraries says how to
// install it.
#include <gtest/gtest.h>

#include "support/temp_repo.hpp"
#include "utils/process.hpp"

namespace brenik::testing {
namespace {

class Installed : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    prefix_ = new TempDir();
    auto r = utils::run({"cmake", "--install", BRENIK_BINARY_DIR, "--prefix", prefix_->path().string()},
                        {.timeout_seconds = 120.0, .capture_stderr = true});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  }
  static void TearDownTestSuite() {
    delete prefix_;
    prefix_ = nullptr;
  }
  static fs::path prefix() { return prefix_->path(); }

  // PATH with the installed programs and the system's, never the build folder.
  std::map<std::string, std::optional<std::string>> env() const {
    auto e = isolated_cli_env(home.path());
    e["PATH"] = (prefix() / "bin").string() + ":/usr/bin:/bin";
    e["LD_LIBRARY_PATH"] = std::nullopt;
    return e;
  }
  utils::RunResult run(const std::vector<std::string>& argv, const fs::path& cwd) const {
    return utils::run(argv, {.cwd = cwd, .timeout_seconds = 60.0, .capture_stderr = true, .env = env()});
  }

  TempDir home;
  static TempDir* prefix_;
};

TempDir* Installed::prefix_ = nullptr;

TEST_F(Installed, ProgramsAndLibrariesRunFromThePrefixOnPath) {
  EXPECT_TRUE(fs::exists(prefix() / "bin/brenik"));
  EXPECT_TRUE(fs::exists(prefix() / "bin/brenik-server"));
  EXPECT_TRUE(fs::exists(prefix() / "lib/brenik/libbrenik-cli.so"));
  // Each library is looked for beside the file that needs it, never in the build.
  for (const char* file : {"lib/brenik/libbrenik-cli.so", "lib/brenik/libtolvern.so", "bin/brenik-server"}) {
    auto r = utils::run({"readelf", "-d", (prefix() / file).string()}, {});
    ASSERT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.find(BRENIK_BINARY_DIR), std::string::npos) << file << r.out;
    EXPECT_NE(r.out.find("$ORIGIN"), std::string::npos) << file << r.out;
  }
  TempRepo repo;
  repo.commit_file("README", "x\n", "init");
  auto r = run({(prefix() / "bin/brenik").string(), "setup", "--no-harness-hooks"}, repo.root());
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  // The hook names the installed program and records the commit with it.
  EXPECT_NE(read_file(repo.root() / ".git/hooks/post-commit").find((prefix() / "bin/brenik").string()),
            std::string::npos);
  write_file(repo.root() / "a.txt", "a\n");
  ASSERT_EQ(run({"git", "add", "a.txt"}, repo.root()).exit_code, 0);
  ASSERT_EQ(run({"git", "commit", "-q", "-m", "a"}, repo.root()).exit_code, 0);
  r = run({(prefix() / "bin/brenik").string(), "status"}, repo.root());
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(read_file(repo.root() / ".brenik/.platform/log.jsonl").find(repo.head()), std::string::npos);
  r = run({(prefix() / "bin/brenik-server").string(), "--help"}, repo.root());
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("brenik-server"), std::string::npos);
}

// The loader searches each library's run path; an empty entry there means
// the working directory, which for a hook is a repository a clone controls.
TEST(BuiltPrograms, LibrarySearchPathsNeverNameTheWorkingDirectory) {
  for (const char* file : {"libbrenik-cli.so", "libtolvern.so", "brenik-server", "brenik"}) {
    auto r = utils::run({"readelf", "-d", (fs::path(BRENIK_BINARY_DIR) / file).string()}, {});
    ASSERT_EQ(r.exit_code, 0) << file;
    const auto at = r.out.find("path: [");
    if (at == std::string::npos) continue;
    const std::string list = r.out.substr(at + 7, r.out.find(']', at) - at - 7) + ":";
    std::size_t i = 0;
    while (i < list.size()) {
      const auto j = list.find(':', i);
      const std::string entry = list.substr(i, j - i);
      EXPECT_TRUE(entry.rfind("$ORIGIN", 0) == 0 || entry.rfind("/", 0) == 0) << file << ": [" << list << "]";
      i = j + 1;
    }
  }
  // A repository planting a library the command library needs does not
  // stop a command (or a hook) from loading the real one.
  TempRepo repo;
  repo.commit_file("README", "x\n", "init");
  for (const char* lib : {"libstdc++.so.6", "libre2.so.9", "libyaml-cpp.so.0.7", "libtolvern.so"})
    write_file(repo.root() / lib, "not a library");
  TempDir home;
  auto r = run_binary("brenik", {"setup", "--no-harness-hooks"},
                      {.cwd = repo.root(), .timeout_seconds = 60.0, .env = isolated_cli_env(home.path())});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

TEST_F(Installed, ACopiedProgramWithoutItsLibrarySaysHowToInstall) {
  TempDir elsewhere;
  fs::copy_file(prefix() / "bin/brenik", elsewhere.path() / "brenik");
  auto r = run({(elsewhere.path() / "brenik").string(), "status"}, elsewhere.path());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("make install"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("apt install"), std::string::npos) << r.err;
  // A hook run by a harness still ends quietly with status 0.
  r = utils::run({(elsewhere.path() / "brenik").string(), "attest", "add", "--from-hook", "--agent", "codex"},
                 {.cwd = elsewhere.path(),
                  .capture_stderr = true,
                  .stdin_data = R"({"tool_input": {"command": "git commit -m x"}})",
                  .env = env()});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out + r.err, "");
  // --version needs no library.
  r = run({(elsewhere.path() / "brenik").string(), "--version"}, elsewhere.path());
  EXPECT_EQ(r.exit_code, 0);
}

// `make package`: the .deb holds the programs and their libraries under /usr,
// names what they need, and the brenik unpacked from it runs on its own.
TEST(Package, TheDebianPackageUnpacksToAWorkingBrenik) {
  TempDir out;
  auto r = utils::run({"cpack", "-G", "DEB", "--config", std::string(BRENIK_BINARY_DIR) + "/CPackConfig.cmake", "-B",
                       out.path().string()},
                      {.cwd = BRENIK_BINARY_DIR, .timeout_seconds = 300.0, .capture_stderr = true});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  fs::path deb;
  for (const auto& entry : fs::directory_iterator(out.path()))
    if (entry.path().extension() == ".deb") deb = entry.path();
  ASSERT_FALSE(deb.empty()) << r.out;

  r = utils::run({"dpkg-deb", "-f", deb.string(), "Package", "Depends"}, {.capture_stderr = true});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("Package: brenik"), std::string::npos) << r.out;
  for (const char* needed : {"git", "libcurl4", "libyaml-cpp", "libstdc++6"})
    EXPECT_NE(r.out.find(needed), std::string::npos) << needed << " missing from " << r.out;

  TempDir root;
  r = utils::run({"dpkg-deb", "-x", deb.string(), root.path().string()}, {.capture_stderr = true});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  for (const char* file :
       {"usr/bin/brenik", "usr/bin/brenik-server", "usr/lib/brenik/libbrenik-cli.so", "usr/lib/brenik/libtolvern.so"})
    EXPECT_TRUE(fs::is_regular_file(root.path() / file)) << file;
  // `help` loads the command library: found beside the unpacked program.
  TempDir home;
  auto env = isolated_cli_env(home.path());
  env["LD_LIBRARY_PATH"] = std::nullopt;
  r = utils::run({(root.path() / "usr/bin/brenik").string(), "help"},
                 {.cwd = home.path(), .timeout_seconds = 60.0, .capture_stderr = true, .env = env});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("setup"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace brenik::testing
