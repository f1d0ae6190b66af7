// Commit records: the archived attestation, its log line, the deterministic
// record, the task-type inference and the ledger archival.
#include <gtest/gtest.h>
#include <re2/re2.h>

#include "paths/paths.hpp"
#include "services/ledger/commit_records.hpp"
#include "services/ledger/ledger_service.hpp"
#include "services/ledger/log_store.hpp"
#include "support/cwd.hpp"
#include "support/temp_repo.hpp"
#include "utils/errors.hpp"
#include "utils/filelock.hpp"
#include "utils/yaml.hpp"

namespace tv = brenik::services::tolvern;
namespace paths = brenik::paths;
namespace ledger = brenik::services::ledger_service;
using brenik::json::Value;
using brenik::testing::read_file;
using brenik::testing::ScopedCwd;
using brenik::testing::TempDir;
using brenik::testing::TempRepo;
using brenik::testing::write_file;

namespace {

Value only_log_line(const std::filesystem::path& root) {
  auto text = read_file(paths::log_jsonl(root));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
  return brenik::json::loads(text);
}

tv::detail::WriteCommitRecordOptions record(const std::string& source) {
  return {.source = source,
          .agent_name = "unknown",
          .agent_provider = std::nullopt,
          .session_id = std::nullopt,
          .telemetry = std::nullopt,
          .task_type = std::nullopt,
          .archive_ledger = true};
}

}  // namespace

TEST(InferTaskType, SubjectWinsThenBranch) {
  EXPECT_EQ(tv::infer_task_type("feat(auth): add login"), "feature");
  EXPECT_EQ(tv::infer_task_type("Fix!: crash"), "bug-fix");
  EXPECT_EQ(tv::infer_task_type("  docs: typo"), "docs");
  EXPECT_EQ(tv::infer_task_type("FEAT(api)!: x"), "feature");
  EXPECT_EQ(tv::infer_task_type("Update readme", std::string("fix/login")), "bug-fix");
  EXPECT_EQ(tv::infer_task_type("feat x", std::string("chore/deps")), "chore");
  EXPECT_EQ(tv::infer_task_type("wip: stuff", std::string("main")), std::nullopt);
  EXPECT_EQ(tv::infer_task_type("plain", std::string("release/1.2")), std::nullopt);
  EXPECT_EQ(tv::infer_task_type("refactor: x", std::string("fix/y")), "refactor");
}

// The prefixes are matched by hand; the documented expressions decide.
TEST(InferTaskType, MatchesAsTheDocumentedExpressions) {
  const re2::RE2 subject_re(tv::detail::SUBJECT_PREFIX_RE);
  const re2::RE2 branch_re(tv::detail::BRANCH_PREFIX_RE);
  const auto reference = [&](const std::string& subject, const std::string& branch) -> std::optional<std::string> {
    for (const auto& [re, text] : {std::pair{&subject_re, subject}, std::pair{&branch_re, branch}}) {
      std::string word;
      if (!re2::RE2::PartialMatch(text, *re, &word)) continue;
      std::string lower;
      for (char c : word) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      for (const auto& [prefix, type] : tv::detail::TASK_TYPE_PREFIXES)
        if (prefix == lower) return type;
    }
    return std::nullopt;
  };
  const std::vector<std::string> subjects = {"feat: x",
                                             "feat(x): y",
                                             "feat(x)!: y",
                                             "feat!: y",
                                             "feat(x) : y",
                                             "feat (x): y",
                                             "feat(x: y",
                                             "feat(a)(b): y",
                                             "feat(): y",
                                             "feat:",
                                             "feat",
                                             " \t\r\n\ffix: y",
                                             "\vfix: y",
                                             "fix!!: y",
                                             "fix!(x): y",
                                             "Fix(a)b): y",
                                             "fix(a\nb): y",
                                             "fix1: y",
                                             "1fix: y",
                                             "",
                                             ":",
                                             "(x): y",
                                             "ci:",
                                             "perf(x)!:",
                                             "bugfix(scope with spaces): y",
                                             "hotfix(x)!y: z",
                                             "tests:x",
                                             "chore(deps)): y",
                                             "docs(a)!:",
                                             "ünicode: y",
                                             "feat\xc3\xa9: y"};
  const std::vector<std::string> branches = {"",       "main", "fix/x",   "Feature/x", "fix",     "/fix",
                                             "fix1/x", "ci/",  "x/fix/y", "docs//",    "perf-x/y"};
  for (const auto& subject : subjects)
    for (const auto& branch : branches)
      EXPECT_EQ(tv::infer_task_type(subject, branch), reference(subject, branch)) << subject << " | " << branch;
}

TEST(ParseAttestationYaml, StripsDelimitersAndRefusesGarbage) {
  EXPECT_EQ(tv::detail::parse_attestation_yaml("---\nagent: x\n---\n"), Value({{"agent", "x"}}));
  EXPECT_EQ(tv::detail::parse_attestation_yaml(""), Value::object());
  // Not YAML: the caller must know, to keep the agent's file.
  EXPECT_THROW(tv::detail::parse_attestation_yaml("a: [unclosed"), brenik::YAMLError);
  EXPECT_EQ(tv::detail::parse_attestation_yaml("- a\n- b\n"), Value::array({"a", "b"}));
}

TEST(LogAttestation, OutsideARepositoryFilesUnderUnknown) {
  TempDir dir;
  ScopedCwd inside(dir.path());
  auto log = dir.path() / "log.jsonl";
  Value parsed = {{"agent", "x"}, {"agent_id", ""}, {"telemetry", Value::object()}, {"summary", "s"}};
  EXPECT_EQ(tv::detail::log_attestation(log, dir.path() / "att", parsed), "unknown");
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "att" / "unknown.yaml"));
  auto line = brenik::json::loads(read_file(log));
  EXPECT_EQ(line, Value({{"commit", "unknown"},
                         {"branch", "unknown"},
                         {"timestamp", ""},
                         {"agent", "x"},
                         {"summary", "s"},
                         {"synced", false}}));
  EXPECT_EQ(tv::read_attestation_log(log).unaddressable, 1u);
}

TEST(LogAttestation, ReplaceExistingUpgradesInPlaceOrAppends) {
  TempRepo repo;
  const auto head = repo.commit_file("a", "1\n", "first");
  auto log = paths::log_jsonl(repo.root());
  auto att = paths::attestations_dir(repo.root());
  Value parsed = {{"timestamp", "t"},
                  {"agent", "claude-code"},
                  {"summary", "s"},
                  {"agent_session_id", "s1"},
                  {"developer", {{"git_author_name", "n"}}}};
  tv::detail::log_attestation(log, att, parsed, {.commit_override = head, .repo_root = repo.root()});
  tv::detail::mark_synced(log, {Value({{"commit", head}})});
  parsed["summary"] = "upgraded";
  tv::detail::log_attestation(log, att, parsed, {.commit_override = head, .repo_root = repo.root()});
  auto line = only_log_line(repo.root());
  EXPECT_EQ(line["summary"], "upgraded");
  EXPECT_EQ(line["synced"], false);
  EXPECT_EQ(line["branch"], "main");
  std::vector<std::string> keys;
  for (auto& [k, v] : line.items()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"commit", "branch", "timestamp", "agent", "summary", "synced",
                                            "agent_session_id", "developer"}));
  EXPECT_EQ(brenik::yaml::load(read_file(att / (head + ".yaml")))["summary"], "upgraded");
}

TEST(WriteCommitRecord, DeterministicRecordOfAConventionalCommit) {
  TempRepo repo;
  const auto head = repo.commit_file("a", "1\n", "feat: x");
  auto o = record("post_commit");
  o.branch = "main";
  o.event = "commit_unattested";
  o.developer = Value({{"git_author_name", "Local Dev"}});
  auto r = tv::detail::write_commit_record(repo.root(), head, o);
  EXPECT_TRUE(r.written);
  EXPECT_FALSE(r.tokens);
  EXPECT_EQ(r.commit, head);
  auto yaml = brenik::yaml::load(read_file(paths::attestations_dir(repo.root()) / (head + ".yaml")));
  EXPECT_EQ(yaml["task_type"], "feature");
  EXPECT_EQ(yaml["task_type_source"], "inferred");
  EXPECT_EQ(yaml["source"], "post_commit");
  EXPECT_EQ(yaml["summary"], "feat: x");
  EXPECT_FALSE(yaml.contains("provenance"));
  auto line = only_log_line(repo.root());
  EXPECT_EQ(line["event"], "commit_unattested");
  EXPECT_EQ(line["agent"], "unknown");
  EXPECT_EQ(line["developer"], Value({{"git_author_name", "Local Dev"}}));
  EXPECT_EQ(line["timestamp"], yaml["timestamp"]);

  TempRepo other;
  const auto docs = other.commit_file("a", "1\n", "feat: x");
  auto declared = record("catch_up");
  declared.task_type = "docs";
  tv::detail::write_commit_record(other.root(), docs, declared);
  auto y2 = brenik::yaml::load(read_file(paths::attestations_dir(other.root()) / (docs + ".yaml")));
  EXPECT_EQ(y2["task_type"], "docs");
  EXPECT_EQ(y2["task_type_source"], "declared");
}

TEST(WriteCommitRecord, DeveloperFromCommitBackfillProvenanceAndTelemetry) {
  TempRepo repo;
  repo.git({"-c", "user.email=", "commit", "-q", "--allow-empty", "-m", "chore: y"});
  // GIT_AUTHOR_EMAIL from the test environment would win; make it empty.
  brenik::testing::ScopedEnv no_email("GIT_AUTHOR_EMAIL", "");
  repo.git({"commit", "-q", "--allow-empty", "-m", "plain subject"});
  const auto head = repo.head();
  auto o = record("backfill");
  o.developer_from_commit = true;
  o.session_id = "sess-1";
  o.agent_name = "claude-code";
  o.agent_provider = "anthropic";
  o.telemetry = Value({{"model", "claude-x"}, {"tokens", {{"input_tokens", 5}}}});
  o.archive_ledger = false;
  auto r = tv::detail::write_commit_record(repo.root(), head, o);
  EXPECT_TRUE(r.tokens);
  auto yaml = brenik::yaml::load(read_file(paths::attestations_dir(repo.root()) / (head + ".yaml")));
  EXPECT_EQ(yaml["developer"], Value({{"git_author_name", "Test Author"}}));
  EXPECT_EQ(yaml["provenance"], Value({{"type", "ad-hoc"}, {"ref", "backfill"}}));
  EXPECT_EQ(yaml["agent_model"], "claude-x");
  EXPECT_EQ(yaml["agent_session_id"], "sess-1");
  EXPECT_EQ(yaml["telemetry"]["session_id"], "sess-1");
  EXPECT_FALSE(yaml.contains("task_type"));
  std::vector<std::string> keys;
  for (auto& [k, v] : yaml.items()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"source", "timestamp", "agent", "agent_provider", "agent_model",
                                            "agent_session_id", "developer", "provenance", "summary", "telemetry"}));
  auto line = only_log_line(repo.root());
  EXPECT_FALSE(line.contains("agent_model"));
  EXPECT_FALSE(line.contains("provenance"));
  EXPECT_EQ(line["agent_provider"], "anthropic");
}

TEST(ArchiveLedgerSegment, MovesOnlyTheFirstSlugsSealedLedger) {
  TempRepo repo;
  const auto head = repo.commit_file("a", "1\n", "first");
  ledger::mark_milestone(repo.root(), "add-login", "started");
  ledger::append_event(repo.root(), "other-change", Value({{"event", "note"}}));
  ledger::set_pointer(repo.root(), "current", "add-login");
  ledger::set_pointer(repo.root(), "previous", "other-change");
  write_file(brenik::utils::lock_file_for(paths::ledger_jsonl(repo.root(), "add-login")), "");
  Value parsed = {{"process", {{"slug", ""}}},
                  {"provenance", {{"type", "spec"}, {"refs", {"add-login", "other-change"}}}}};
  auto att = paths::attestations_dir(repo.root());
  tv::detail::archive_ledger_segment(repo.root(), att, parsed, head);
  auto archived = paths::archived_ledger(repo.root(), head);
  ASSERT_TRUE(std::filesystem::exists(archived));
  EXPECT_NE(read_file(archived).find("\"sealed\""), std::string::npos);
  EXPECT_NE(read_file(archived).find(head), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(paths::ledger_jsonl(repo.root(), "add-login")));
  EXPECT_FALSE(std::filesystem::exists(brenik::utils::lock_file_for(paths::ledger_jsonl(repo.root(), "add-login"))));
  EXPECT_TRUE(std::filesystem::exists(paths::ledger_jsonl(repo.root(), "other-change")));
  EXPECT_EQ(ledger::read_pointers(repo.root()), Value({{"previous", "other-change"}}));
}

TEST(ArchiveLedgerSegment, MissingLedgerStillClearsLockAndPointers) {
  TempRepo repo;
  const auto head = repo.commit_file("a", "1\n", "first");
  ledger::set_pointer(repo.root(), "current", "gone");
  write_file(brenik::utils::lock_file_for(paths::ledger_jsonl(repo.root(), "gone")), "");
  tv::detail::archive_ledger_segment(repo.root(), paths::attestations_dir(repo.root()),
                                     Value({{"process", {{"slug", "gone"}}}}), head);
  EXPECT_FALSE(std::filesystem::exists(paths::archived_ledger(repo.root(), head)));
  EXPECT_FALSE(std::filesystem::exists(brenik::utils::lock_file_for(paths::ledger_jsonl(repo.root(), "gone"))));
  EXPECT_EQ(ledger::read_pointers(repo.root()), Value::object());
}

TEST(ArchiveLedgerSegment, UnsafeSlugNeverNamesAPath) {
  TempRepo repo;
  const auto head = repo.commit_file("a", "1\n", "first");
  write_file(repo.root() / "outside.jsonl", "{\"keep\": true}\n");
  write_file(repo.root() / "outside.jsonl.lock", "");
  tv::detail::archive_ledger_segment(repo.root(), paths::attestations_dir(repo.root()),
                                     Value({{"process", {{"slug", "../../outside"}}}}), head);
  EXPECT_TRUE(std::filesystem::exists(repo.root() / "outside.jsonl"));
  EXPECT_TRUE(std::filesystem::exists(repo.root() / "outside.jsonl.lock"));
  EXPECT_FALSE(std::filesystem::exists(paths::archived_ledger(repo.root(), head)));
}

TEST(LogAttestation, HandedOverRecordIsWrittenOnlyForTheRepositorysOwnFiles) {
  TempRepo repo;
  const auto head = repo.commit_file("a", "1\n", "first");
  const auto root = std::filesystem::absolute(repo.root());
  Value plan = {{"repo_root", root.string()},
                {"commit", head},
                {"branch", "main"},
                {"attestation", {{"summary", "handed over"}, {"agent", "unknown"}}},
                {"event", "commit_unattested"},
                {"keep_existing", true},
                {"archive_ledger", false}};
  // What does not name one of its commits, from an absolute root, is refused.
  for (const auto& [key, bad] : std::vector<std::pair<std::string, Value>>{{"commit", "../../../outside"},
                                                                           {"commit", head.substr(0, 7)},
                                                                           {"repo_root", "relative/root"},
                                                                           {"attestation", "not a mapping"}}) {
    Value broken = plan;
    broken[key] = bad;
    EXPECT_THROW(tv::detail::file_handed_off_record(brenik::json::dumps(broken)), brenik::ValueError) << key;
  }
  EXPECT_THROW(tv::detail::file_handed_off_record("not json"), brenik::ValueError);
  EXPECT_FALSE(std::filesystem::exists(paths::log_jsonl(root)));
  EXPECT_FALSE(std::filesystem::exists(paths::attestations_dir(root)));

  auto filed = tv::detail::file_handed_off_record(brenik::json::dumps(plan));
  EXPECT_TRUE(filed.written);
  auto line = only_log_line(root);
  EXPECT_EQ(line["commit"], head);
  EXPECT_EQ(line["summary"], "handed over");
  EXPECT_EQ(line["event"], "commit_unattested");
  // Handed over twice (two triggers found the lock busy): still one line.
  EXPECT_FALSE(tv::detail::file_handed_off_record(brenik::json::dumps(plan)).written);
  only_log_line(root);
}
