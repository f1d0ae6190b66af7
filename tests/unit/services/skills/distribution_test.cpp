// Skill distribution with stand-in adapters: which skills each agent gets,
// whether the installer's package is present and whether it serves the
// agent; custom skills win on slug; one agent's failure stops no other.
#include <gtest/gtest.h>

#include <memory>

#include "services/skills/distribution.hpp"
#include "support/log_capture.hpp"
#include "support/temp_repo.hpp"
#include "utils/errors.hpp"

namespace brenik::testing {
namespace {

namespace tv = services::tolvern;
using json::Value;

class FakeAdapter : public agents::Adapter {
public:
  FakeAdapter(std::string name, bool covered, bool fails = false)
      : name_(std::move(name)), covered_(covered), fails_(fails) {}
  std::string name() const override { return name_; }
  std::string provider() const override { return ""; }
  bool is_active() const override { return false; }
  bool detect_in_repo(const fs::path&) const override { return false; }
  std::optional<std::string> get_session_id(const fs::path&) const override { return std::nullopt; }
  std::optional<agents::TelemetryRecord> get_telemetry_for_session(const fs::path&,
                                                                   const std::optional<std::string>&) const override {
    return std::nullopt;
  }
  std::map<std::string, std::vector<std::string>> sessions_mentioning(
      const fs::path&, const std::vector<std::string>&, const agents::SessionsMentioningOptions&) const override {
    return {};
  }
  // A harness the installer serves once its package is in (never before).
  bool npx_covers_skills(const fs::path& root) const override {
    return covered_ && fs::exists(root / "skills-lock.json");
  }
  fs::path skills_dir() const override { return ".fake/skills"; }
  void write_skills(const fs::path&, const Value& skills) const override {
    if (fails_) throw OSError(EACCES, "read-only skills folder");
    received.push_back(skills);
  }
  // Slugs of each list it was given.
  std::vector<std::vector<std::string>> slugs() const {
    std::vector<std::vector<std::string>> out;
    for (const auto& list : received) {
      out.emplace_back();
      for (const auto& s : list) out.back().push_back(s.value("slug", "?"));
    }
    return out;
  }
  mutable std::vector<Value> received;

private:
  std::string name_;
  bool covered_, fails_;
};

using Slugs = std::vector<std::vector<std::string>>;

Value skill(const std::string& slug, const char* source = nullptr) {
  Value s = {{"slug", slug}, {"content", "# " + slug + "\n"}};
  if (source) s["source"] = source;
  return s;
}

class Distribution : public ::testing::Test {
protected:
  // The installer's package: a lock naming it and the skills in the shared folder.
  void install_package(const std::vector<std::string>& names) {
    Value lock = {{"version", 1}, {"skills", Value::object()}};
    for (const auto& n : names) {
      lock["skills"][n] = {{"source", "brenik/engineering"}};
      write_file(repo.root() / ".agents/skills" / n / "SKILL.md", "---\nname: " + n + "\n---\nbody\n");
    }
    write_file(repo.root() / "skills-lock.json", lock.dump());
  }
  void distribute(const Value& skills, const std::vector<std::shared_ptr<FakeAdapter>>& fakes) {
    std::vector<agents::AdapterPtr> adapters(fakes.begin(), fakes.end());
    tv::detail::distribute_skills(repo.root(), skills, adapters);
  }
  TempRepo repo;
};

TEST_F(Distribution, InstallerPresentCoveredAgentsGetCustomOnlyOthersAreBridgedWithTheInstallersSet) {
  install_package({"tdd", "review"});
  auto covered = std::make_shared<FakeAdapter>("codex", true);
  auto bridged = std::make_shared<FakeAdapter>("claude-code", false);
  distribute(Value::array({skill("ours", "project"), skill("feed-tdd", "platform"), skill("org", "system")}),
             {covered, bridged});
  EXPECT_EQ(covered->slugs(), (Slugs{{"ours", "org"}}));
  // The installer's skills, not the server's platform feed.
  EXPECT_EQ(bridged->slugs(), (Slugs{{"ours", "org", "tdd", "review"}}));
  EXPECT_EQ(bridged->received[0][2]["source"], "platform");
}

TEST_F(Distribution, WithoutTheInstallerEveryAgentGetsTheServersPlatformFeed) {
  auto covered = std::make_shared<FakeAdapter>("codex", true);
  auto bridged = std::make_shared<FakeAdapter>("claude-code", false);
  distribute(Value::array({skill("feed-a", "platform"), skill("ours"), skill("feed-b", "platform")}),
             {covered, bridged});
  EXPECT_EQ(covered->slugs(), (Slugs{{"ours", "feed-a", "feed-b"}}));
  EXPECT_EQ(bridged->slugs(), (Slugs{{"ours", "feed-a", "feed-b"}}));
}

TEST_F(Distribution, ACustomSkillWinsOverAPlatformSkillOfTheSameSlug) {
  auto agent = std::make_shared<FakeAdapter>("claude-code", false);
  Value mine = skill("review", "project");
  mine["content"] = "our own review\n";
  distribute(Value::array({skill("review", "platform"), mine, skill("../evil"), skill("tdd", "platform")}), {agent});
  ASSERT_EQ(agent->received.size(), 1u);
  // The unsafe custom slug claims nothing; the adapter decides about it.
  EXPECT_EQ(agent->slugs(), (Slugs{{"review", "../evil", "tdd"}}));
  EXPECT_EQ(agent->received[0][0]["content"], "our own review\n");

  install_package({"review", "tdd"});
  auto again = std::make_shared<FakeAdapter>("claude-code", false);
  distribute(Value::array({mine}), {again});
  EXPECT_EQ(again->slugs(), (Slugs{{"review", "tdd"}}));
  EXPECT_EQ(again->received[0][0]["content"], "our own review\n");
}

TEST_F(Distribution, AnEmptyAnswerStillBridgesTheInstallersSkills) {
  install_package({"tdd"});
  auto covered = std::make_shared<FakeAdapter>("codex", true);
  auto bridged = std::make_shared<FakeAdapter>("claude-code", false);
  distribute(Value::array(), {covered, bridged});
  EXPECT_EQ(covered->slugs(), (Slugs{{}}));
  EXPECT_EQ(bridged->slugs(), (Slugs{{"tdd"}}));
}

TEST_F(Distribution, AFailingAgentStopsNeitherTheNextNorCursorAndWindsurf) {
  fs::create_directories(repo.root() / ".cursor");
  fs::create_directories(repo.root() / ".windsurf");
  auto broken = std::make_shared<FakeAdapter>("claude-code", false, true);
  auto next = std::make_shared<FakeAdapter>("codex", false);
  LogCapture log;
  distribute(Value::array({skill("ours")}), {broken, next});
  EXPECT_TRUE(log.has("DEBUG Skill distribution skipped for claude-code")) << log.all();
  EXPECT_EQ(next->slugs(), (Slugs{{"ours"}}));
  EXPECT_TRUE(fs::is_regular_file(repo.root() / ".cursor/skills/ours/SKILL.md"));
  EXPECT_TRUE(fs::is_regular_file(repo.root() / ".windsurf/skills/ours/SKILL.md"));
}

TEST_F(Distribution, ABrokenCursorFolderSkipsWindsurfAndIsSaidOnce) {
  // Cursor in use (its rules file), but its folder is a file.
  write_file(repo.root() / ".cursorrules", "rules\n");
  write_file(repo.root() / ".cursor", "not a folder");
  fs::create_directories(repo.root() / ".windsurf");
  LogCapture log;
  distribute(Value::array({skill("ours")}), {});
  EXPECT_TRUE(log.has("DEBUG Cursor/Windsurf skill distribution skipped (best-effort)")) << log.all();
  EXPECT_FALSE(fs::exists(repo.root() / ".windsurf/skills"));
}

TEST_F(Distribution, EditorsNotInUseGetNoFolderAndCursorGetsNoSecondCopyOfTheSharedSkills) {
  distribute(Value::array({skill("ours")}), {});
  EXPECT_FALSE(fs::exists(repo.root() / ".cursor"));
  EXPECT_FALSE(fs::exists(repo.root() / ".windsurf"));

  install_package({"tdd"});
  fs::create_directories(repo.root() / ".cursor");
  distribute(Value::array({skill("ours")}), {});
  EXPECT_TRUE(fs::exists(repo.root() / ".cursor/skills/ours/SKILL.md"));
  EXPECT_FALSE(fs::exists(repo.root() / ".cursor/skills/tdd"));  // Cursor reads .agents/skills itself
}

}  // namespace
}  // namespace brenik::testing
