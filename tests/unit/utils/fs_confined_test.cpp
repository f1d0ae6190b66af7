// The file operations under a hostile repository: links planted as the last
// component or as a folder on the way, FIFOs, `..`, a killed writer's
// temporary files, and several processes writing one folder at once.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "support/temp_repo.hpp"
#include "utils/errors.hpp"
#include "utils/filelock.hpp"
#include "utils/fs.hpp"
#include "utils/mapped_file.hpp"

namespace u = brenik::utils;
using namespace brenik::testing;

namespace {

// Names and contents of everything below `dir`, links shown as links: what
// "nothing changed outside" is checked against.
std::vector<std::string> snapshot(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    std::string line = e.path().lexically_relative(dir).string();
    if (e.is_symlink())
      line += " -> " + fs::read_symlink(e.path()).string();
    else if (e.is_regular_file())
      line += " = " + read_file(e.path());
    out.push_back(line);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The errno of the OSError `body` throws, checking the message names `path`.
template <typename F>
int os_errno(F&& body, const fs::path& path) {
  try {
    body();
  } catch (const brenik::OSError& e) {
    EXPECT_NE(std::string(e.what()).find(path.filename().string()), std::string::npos) << e.what();
    return e.error_number();
  }
  ADD_FAILURE() << "no OSError for " << path;
  return 0;
}

void set_age(const fs::path& file, std::chrono::seconds age) {
  fs::last_write_time(file, fs::file_time_type::clock::now() - age);
}

class Planted : public ::testing::Test {
protected:
  void SetUp() override {
    write_file(outside.path() / "bashrc", "export PS1='$ '\n");
    before = snapshot(outside.path());
  }
  fs::path brenik() const { return repo.path() / ".brenik"; }
  fs::path platform() const { return brenik() / ".platform"; }
  void expect_outside_untouched() const { EXPECT_EQ(snapshot(outside.path()), before); }

  TempDir repo, outside;
  std::vector<std::string> before;
};

}  // namespace

TEST_F(Planted, ALinkAsTheLastComponentIsNeverWrittenReadOrLockedThrough) {
  fs::create_directories(platform());
  const auto log = platform() / "log.jsonl";
  fs::create_symlink(outside.path() / "bashrc", log);

  EXPECT_EQ(os_errno([&] { u::append_file(log, "{\"commit\": \"$(touch /tmp/x)\"}\n"); }, log), ELOOP);
  EXPECT_EQ(os_errno([&] { u::atomic_write(log, "replaced\n"); }, log), ELOOP);
  EXPECT_EQ(os_errno([&] { u::read_file(log); }, log), ELOOP);
  EXPECT_FALSE(u::try_read_file(log));
  EXPECT_EQ(os_errno([&] { u::MappedFile mapped(log); }, log), ELOOP);
  EXPECT_TRUE(fs::is_symlink(log)) << "the link itself is left alone, not replaced";

  // The lock file planted as a link: the guard proceeds without it (fail-open)
  // and nothing is created or truncated at its target.
  const auto lock = u::lock_file_for(log);
  fs::create_symlink(outside.path() / "lock-target", lock);
  {
    u::Locked guard(log, 0.2);
    EXPECT_FALSE(guard.acquired());
  }
  EXPECT_FALSE(fs::exists(outside.path() / "lock-target"));

  // The ends of a rename, and a removal through the link's folder.
  const auto real = platform() / "real.jsonl";
  write_file(real, "x\n");
  EXPECT_EQ(os_errno([&] { u::rename_confined(real, log); }, log), ELOOP);
  EXPECT_EQ(os_errno([&] { u::rename_confined(log, real); }, log), ELOOP);
  EXPECT_EQ(read_file(real), "x\n");
  expect_outside_untouched();
}

TEST_F(Planted, ALinkedFolderOnTheWayIsRefusedAndNothingLandsBehindIt) {
  fs::create_directories(brenik());
  fs::create_symlink(outside.path(), platform());
  fs::create_symlink(outside.path(), brenik() / "attestations");

  const auto log = platform() / "log.jsonl";
  EXPECT_EQ(os_errno([&] { u::append_file(log, "line\n"); }, platform()), ELOOP);
  EXPECT_EQ(os_errno([&] { u::atomic_write(platform() / "bashrc", "x"); }, platform()), ELOOP);
  EXPECT_EQ(os_errno([&] { u::read_file(platform() / "bashrc"); }, platform()), ELOOP);
  EXPECT_EQ(os_errno([&] { u::make_dirs(platform() / "logs"); }, platform()), ELOOP);
  EXPECT_EQ(os_errno([&] { u::open_confined(log, O_WRONLY | O_CREAT, 0644, true); }, platform()), ELOOP);
  {
    u::Locked guard(log, 0.2);
    EXPECT_FALSE(guard.acquired());
  }

  const auto archived = brenik() / "attestations" / "abc.yaml";
  EXPECT_EQ(os_errno([&] { u::atomic_write(archived, "commit: abc\n"); }, archived.parent_path()), ELOOP);
  fs::create_directories(brenik() / "ledger");
  write_file(brenik() / "ledger" / "s.jsonl", "{}\n");
  EXPECT_EQ(os_errno([&] { u::rename_confined(brenik() / "ledger" / "s.jsonl", archived); }, archived.parent_path()),
            ELOOP);
  EXPECT_TRUE(fs::exists(brenik() / "ledger" / "s.jsonl"));
  EXPECT_FALSE(u::remove_file(brenik() / "attestations" / "bashrc"));
  expect_outside_untouched();
}

TEST_F(Planted, ABrenikFolderThatIsALinkIsRefused) {
  fs::create_symlink(outside.path(), brenik());
  EXPECT_EQ(os_errno([&] { u::make_dirs(platform()); }, brenik()), ELOOP);
  EXPECT_EQ(os_errno([&] { u::append_file(brenik() / "bashrc", "x"); }, brenik()), ELOOP);
  EXPECT_EQ(os_errno([&] { u::atomic_write(brenik() / ".commit-attestation.yaml", "x"); }, brenik()), ELOOP);
  EXPECT_FALSE(u::remove_file(brenik() / "bashrc"));
  expect_outside_untouched();
}

TEST_F(Planted, DotDotBelowTheRootCannotClimbOut) {
  fs::create_directories(platform());
  const std::string escaped = "escaped-" + repo.path().filename().string();
  const auto climbing = platform() / ".." / ".." / ".." / escaped;
  EXPECT_EQ(os_errno([&] { u::make_dirs(climbing); }, fs::path("..")), EINVAL);
  EXPECT_EQ(os_errno([&] { u::append_file(climbing / "f", "x"); }, fs::path("..")), EINVAL);
  EXPECT_FALSE(fs::exists(repo.path().parent_path() / escaped));
}

TEST_F(Planted, AFifoOrAFolderInPlaceOfAFileIsRefusedWithoutBlocking) {
  fs::create_directories(platform());
  const auto log = platform() / "log.jsonl";
  ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
  // A blocking open of a FIFO would hang the hook for good.
  EXPECT_EQ(os_errno([&] { u::read_file(log); }, log), EINVAL);
  EXPECT_EQ(os_errno([&] { u::MappedFile mapped(log); }, log), EINVAL);
  EXPECT_NE(os_errno([&] { u::append_file(log, "x\n"); }, log), 0);
  fs::create_directories(platform() / "dir.yaml");
  EXPECT_EQ(os_errno([&] { u::atomic_write(platform() / "dir.yaml", "x"); }, platform() / "dir.yaml"), EISDIR);
  EXPECT_TRUE(fs::is_directory(platform() / "dir.yaml"));
}

TEST(ConfinedOutsideBrenik, OnlyTheLastComponentMustNotBeALink) {
  TempDir home, elsewhere;
  write_file(elsewhere.path() / "target.json", "{}\n");
  // The folder may be reached through a link (the user's own layout)...
  fs::create_symlink(elsewhere.path(), home.path() / "config");
  u::atomic_write(home.path() / "config" / "credentials.json", "{\"api_key\": \"k\"}\n",
                  fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(read_file(elsewhere.path() / "credentials.json"), "{\"api_key\": \"k\"}\n");
  EXPECT_EQ(fs::status(elsewhere.path() / "credentials.json").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  // ...but a link as the file itself is neither replaced nor written through.
  const auto linked = home.path() / "linked.json";
  fs::create_symlink(elsewhere.path() / "target.json", linked);
  EXPECT_EQ(os_errno([&] { u::atomic_write(linked, "new\n"); }, linked), ELOOP);
  EXPECT_EQ(os_errno([&] { u::append_file(linked, "new\n"); }, linked), ELOOP);
  EXPECT_TRUE(fs::is_symlink(linked));
  EXPECT_EQ(read_file(elsewhere.path() / "target.json"), "{}\n");
  // Reads outside `.brenik` still follow links, unless asked not to.
  EXPECT_EQ(u::read_file(linked), "{}\n");
  EXPECT_EQ(os_errno([&] { u::read_confined(linked); }, linked), ELOOP);
}

TEST(ConfinedWrites, OrdinaryFilesBehaveAsBefore) {
  TempDir repo;
  const auto file = repo.path() / ".brenik" / "attestations" / "c.yaml";
  u::make_dirs(file.parent_path());
  u::make_dirs(file.parent_path());  // an existing folder is fine
  u::atomic_write(file, "one\n", fs::perms::owner_read | fs::perms::owner_write);
  u::atomic_write_parts(file, {"tw", "o\n"});
  EXPECT_EQ(u::read_file(file), "two\n");
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write)
      << "a rewrite keeps the file's mode";
  u::append_file(file, "three\n");
  EXPECT_EQ(u::read_file(file), "two\nthree\n");
  EXPECT_EQ(os_errno([&] { u::read_file(file.parent_path() / "missing"); }, fs::path("missing")), ENOENT);
  EXPECT_TRUE(u::remove_file(file));
  EXPECT_FALSE(u::remove_file(file));
  EXPECT_TRUE(fs::is_empty(file.parent_path())) << "no temporary file is left behind";
  // A relative path is confined below the current folder.
  EXPECT_TRUE(u::is_confined(".brenik/.platform/log.jsonl"));
  EXPECT_FALSE(u::is_confined(repo.path() / ".brenikx" / "log.jsonl"));
}

// A file size limit (or a full disk) that stops an append half way must not
// leave half a line behind: it would be glued to the next record.
TEST(ConfinedWrites, AnAppendCutShortIsTakenBack) {
  TempDir repo;
  const auto log = repo.path() / ".brenik" / ".platform" / "log.jsonl";
  u::make_dirs(log.parent_path());
  u::append_file(log, "{\"commit\": \"a\"}\n");
  const auto before = fs::file_size(log);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit {
      static_cast<rlim_t>(before + 10), static_cast<rlim_t>(before + 10)
    };
    ::setrlimit(RLIMIT_FSIZE, &limit);
    try {
      u::append_file(log, std::string(100, 'x') + "\n");
    } catch (const brenik::OSError&) {
      ::_exit(0);
    }
    ::_exit(1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the cut-short append reports its failure";
  EXPECT_EQ(u::read_file(log), "{\"commit\": \"a\"}\n") << "no piece of the line stays";
}

TEST(ConfinedWrites, AKilledWritersStaleTempFilesGoButAFreshOneStays) {
  TempDir repo;
  const auto dir = repo.path() / ".brenik" / "attestations";
  fs::create_directories(dir);
  const auto stale = dir / "Ab3dEf7hJ9.tmp", fresh = dir / "Zz0yYx1wWv.tmp", foreign = dir / "notes.tmp",
             other_name = dir / "Ab3dEf7hJ9x.tmp";
  for (const auto& f : {stale, fresh, foreign, other_name}) write_file(f, "partial");
  for (const auto& f : {stale, foreign, other_name}) set_age(f, std::chrono::hours(1));
  set_age(fresh, std::chrono::seconds(30));
  u::atomic_write(dir / "c.yaml", "commit: c\n");
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(fresh)) << "a live writer's temporary file is spared";
  EXPECT_TRUE(fs::exists(foreign)) << "only our own naming pattern is removed";
  EXPECT_TRUE(fs::exists(other_name));
  EXPECT_EQ(read_file(dir / "c.yaml"), "commit: c\n");
}

TEST(ConfinedWrites, AFolderOfThousandsOfArchivesIsCleanedByALaterWriter) {
  TempDir repo;
  const auto dir = repo.path() / ".brenik" / "attestations";
  fs::create_directories(dir);
  for (int i = 0; i < 1500; ++i) write_file(dir / (std::string(40, 'a') + std::to_string(i) + ".yaml"), "");
  const auto stale = dir / "Ab3dEf7hJ9.tmp";
  write_file(stale, "partial");
  set_age(stale, std::chrono::hours(1));
  // Not every writer lists a folder this large; within a few hundred writes
  // one has (a miss is about one chance in 300,000).
  int writes = 0;
  while (fs::exists(stale) && writes < 400) u::atomic_write(dir / "c.yaml", std::to_string(++writes));
  EXPECT_FALSE(fs::exists(stale));
}

TEST(ConfinedWrites, ProcessesRewritingAndAppendingOneFolderLoseNothing) {
  TempDir repo;
  const auto dir = repo.path() / ".brenik" / ".platform";
  constexpr int kProcesses = 4, kRounds = 150;
  u::make_dirs(dir);
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      for (int i = 0; i < kRounds; ++i) {
        try {
          const std::string line = std::to_string(p) + ":" + std::to_string(i) + "\n";
          u::atomic_write(dir / ("own-" + std::to_string(p)), line);
          u::atomic_write(dir / "shared", std::string(4096, static_cast<char>('a' + p)));
          auto guard = u::locked(dir / "log.jsonl");
          u::append_file(dir / "log.jsonl", line);
        } catch (...) {
          ++failures;
        }
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const std::string log = read_file(dir / "log.jsonl");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), kProcesses * kRounds);
  for (int p = 0; p < kProcesses; ++p)
    EXPECT_EQ(read_file(dir / ("own-" + std::to_string(p))),
              std::to_string(p) + ":" + std::to_string(kRounds - 1) + "\n");
  const std::string shared = read_file(dir / "shared");
  EXPECT_EQ(shared.size(), 4096u);
  EXPECT_EQ(shared.find_first_not_of(shared[0]), std::string::npos) << "one writer's whole content";
  for (const auto& e : fs::directory_iterator(dir)) EXPECT_NE(e.path().extension(), ".tmp") << e.path();
}
