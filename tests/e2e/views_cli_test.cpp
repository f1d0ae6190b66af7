// `brenik log`, `show` and `blame` through the real binary, in real
// repositories whose log holds every kind of record.
#include <gtest/gtest.h>

#include "support/python_oracle.hpp"
#include "support/temp_repo.hpp"
#include "utils/json.hpp"

namespace brenik::testing {
namespace {

const std::map<std::string, std::optional<std::string>> PLAIN = {{"NO_COLOR", "1"}, {"PAGER", "cat"}};

std::string line_for(const std::string& commit, const std::string& agent, const std::string& extra) {
  return "{\"commit\": \"" + commit +
         "\", \"branch\": \"main\", \"timestamp\": \"2026-01-01T00:00:00Z\", \"agent\": \"" + agent +
         "\", \"summary\": \"s\"" + extra + "}\n";
}

// A repository with one commit of each kind, recorded as each path records it.
struct Recorded {
  TempRepo repo;
  std::string attested, unattested, backfilled, caught_up, unrecorded, human;

  Recorded() {
    unrecorded = repo.commit_file("f.txt", "0\n", "init");
    attested = repo.commit_file("f.txt", "0\n1\n", "feat: attested");
    unattested = repo.commit_file("f.txt", "0\n1\n2\n", "fix: unattested");
    backfilled = repo.commit_file("f.txt", "0\n1\n2\n3\n", "chore: backfilled");
    caught_up = repo.commit_file("f.txt", "0\n1\n2\n3\n4\n", "docs: caught up");
    human = repo.commit_file("f.txt", "0\n1\n2\n3\n4\n5\n", "by hand");
    const fs::path archive = repo.root() / ".brenik/attestations";
    write_file(archive / (attested + ".yaml"),
               "staged_diff_hash: abc\ntimestamp: '2026-01-01T00:00:00Z'\nagent_model: claude-opus-4-6\n"
               "agent: claude-code\ntask_type: feature\nrules:\n  checked: true\n  applicable:\n  - no-secrets\n"
               "changes:\n  architecture:\n    elements:\n    - name: limiter\n      change: added\n"
               "provenance:\n  type: ticket\n  ref: T-1\nsummary: Added rate limiting\n"
               "telemetry:\n  tokens:\n    input: 1200\n    output: 300\n");
    write_file(archive / (attested + ".ledger.jsonl"), "{\"milestone\": \"sealed\"}\n");
    write_file(archive / (backfilled + ".yaml"),
               "source: backfill\nagent: codex\nagent_model: gpt-5\nprovenance:\n  type: ad-hoc\n  ref: backfill\n"
               "summary: 'chore: backfilled'\n");
    write_file(archive / (caught_up + ".yaml"), "source: catch_up\nagent: cursor\nsummary: 'docs: caught up'\n");
    write_file(
        repo.root() / ".brenik/.platform/log.jsonl",
        line_for(attested, "claude-code", ", \"synced\": true") +
            line_for(unattested, "unknown", ", \"synced\": false, \"event\": \"commit_unattested\"") +
            line_for(backfilled, "codex",
                     ", \"synced\": false, \"event\": \"commit_unattested\", \"telemetry\": {\"model\": \"gpt-5\"}") +
            "not json\n" +
            // Another writer's member order: found by a full parse.
            "{\"synced\": true, \"agent\": \"cursor\", \"event\": \"commit_unattested\", \"commit\": \"" + caught_up +
            "\"}\n" + line_for(human, "human", ", \"synced\": false"));
  }

  utils::RunResult run(const std::vector<std::string>& args) const {
    return run_binary("brenik", args, {.cwd = repo.root(), .env = PLAIN});
  }
};

// The line of `text` that contains `needle`.
std::string line_with(const std::string& text, const std::string& needle) {
  const auto at = text.find(needle);
  if (at == std::string::npos) return "";
  const auto start = text.rfind('\n', at);
  const auto end = text.find('\n', at);
  return text.substr(start == std::string::npos ? 0 : start + 1,
                     end == std::string::npos ? std::string::npos : end - (start == std::string::npos ? 0 : start + 1));
}

TEST(ViewsCli, LogShowsEachKindOfRecord) {
  Recorded r;
  auto out = r.run({"log"});
  ASSERT_EQ(out.exit_code, 0) << out.err;
  const std::string a = line_with(out.out, r.attested.substr(0, 7));
  EXPECT_NE(a.find("claude-code"), std::string::npos) << out.out;
  EXPECT_NE(a.find("claude-opus-4-6"), std::string::npos) << a;  // from the archive
  EXPECT_NE(a.find(" attested"), std::string::npos) << a;
  EXPECT_NE(a.find("synced"), std::string::npos) << a;
  const std::string u = line_with(out.out, r.unattested.substr(0, 7));
  EXPECT_NE(u.find("unknown"), std::string::npos) << u;
  EXPECT_NE(u.find("unattested"), std::string::npos) << u;
  EXPECT_NE(u.find("local"), std::string::npos) << u;
  const std::string b = line_with(out.out, r.backfilled.substr(0, 7));
  EXPECT_NE(b.find("codex"), std::string::npos) << b;
  EXPECT_NE(b.find("gpt-5"), std::string::npos) << b;
  const std::string c = line_with(out.out, r.caught_up.substr(0, 7));
  EXPECT_NE(c.find("cursor"), std::string::npos) << c;
  EXPECT_NE(c.find("synced"), std::string::npos) << c;
  EXPECT_NE(line_with(out.out, r.human.substr(0, 7)).find("human"), std::string::npos) << out.out;
  const std::string n = line_with(out.out, r.unrecorded.substr(0, 7));
  EXPECT_NE(n.find("not recorded"), std::string::npos) << n;
  EXPECT_NE(n.find("init"), std::string::npos) << n;
  // Newest first, like git log; -n and ranges as git takes them.
  EXPECT_LT(out.out.find(r.human.substr(0, 7)), out.out.find(r.unrecorded.substr(0, 7)));
  out = r.run({"log", "-n", "2"});
  EXPECT_EQ(std::count(out.out.begin(), out.out.end(), '\n'), 2) << out.out;
  out = r.run({"log", r.backfilled + ".." + r.human});
  EXPECT_EQ(std::count(out.out.begin(), out.out.end(), '\n'), 2) << out.out;
  EXPECT_EQ(out.out.find("chore: backfilled"), std::string::npos) << out.out;
}

TEST(ViewsCli, LogJsonRoundTripsThroughPython) {
  if (!python_available()) GTEST_SKIP() << "python3 missing";
  Recorded r;
  auto out = r.run({"log", "--json"});
  ASSERT_EQ(out.exit_code, 0) << out.err;
  const auto checked = run_python(R"(
import json, sys
for line in open(sys.argv[1], encoding="utf-8"):
    line = line.rstrip("\n")
    v = json.loads(line)
    assert json.dumps(v) == line, line
    print(v["commit"][:7], v["attribution"]["label"], v["attested"], v["synced"], v["recorded"],
          (v["attestation"] or {}).get("task_type"))
)",
                                  out.out);
  ASSERT_EQ(checked.size(), 6u);
  EXPECT_EQ(checked[0], r.human.substr(0, 7) + " human True False True None");
  EXPECT_EQ(checked[1], r.caught_up.substr(0, 7) + " cursor False True True None");
  EXPECT_EQ(checked[2], r.backfilled.substr(0, 7) + " codex (gpt-5) False False True None");
  EXPECT_EQ(checked[3], r.unattested.substr(0, 7) + " unknown False False True None");
  EXPECT_EQ(checked[4], r.attested.substr(0, 7) + " claude-code (claude-opus-4-6) True True True feature");
  EXPECT_EQ(checked[5], r.unrecorded.substr(0, 7) + " not recorded False False False None");
}

TEST(ViewsCli, ShowGivesEverythingRecordedForOneCommit) {
  Recorded r;
  auto out = r.run({"show", r.attested.substr(0, 10)});
  ASSERT_EQ(out.exit_code, 0) << out.err;
  for (const char* expected : {"commit ", "attested, uploaded", "Added rate limiting", "no-secrets", "limiter", "T-1",
                               "1200", "feature", "Ledger segment (1 entries)", "sealed"})
    EXPECT_NE(out.out.find(expected), std::string::npos) << expected << "\n" << out.out;
  EXPECT_NE(out.out.find(r.attested), std::string::npos);

  out = r.run({"show", r.backfilled});
  EXPECT_NE(out.out.find("Recorded by:          backfill"), std::string::npos) << out.out;
  EXPECT_NE(out.out.find("unattested, not uploaded yet"), std::string::npos) << out.out;
  out = r.run({"show", r.caught_up});
  EXPECT_NE(out.out.find("catch_up"), std::string::npos) << out.out;
  out = r.run({"show", r.unattested});
  EXPECT_NE(out.out.find("commit_unattested"), std::string::npos) << out.out;
  out = r.run({"show", "HEAD~5"});
  ASSERT_EQ(out.exit_code, 0) << out.err;
  EXPECT_NE(out.out.find("Record:  not recorded"), std::string::npos) << out.out;

  if (!python_available()) return;
  out = r.run({"show", "--json", r.attested});
  ASSERT_EQ(out.exit_code, 0) << out.err;
  const auto checked = run_python(R"(
import json, sys
text = open(sys.argv[1], encoding="utf-8").read().rstrip("\n")
v = json.loads(text)
assert json.dumps(v) == text
print(v["attestation"]["telemetry"]["tokens"]["input"], v["synced"], len(v["ledger"]), v["rewritten_from"])
)",
                                  out.out);
  ASSERT_EQ(checked.size(), 1u);
  EXPECT_EQ(checked[0], "1200 True 1 []");
}

TEST(ViewsCli, ShowNamesTheCommitAnAmendReplaced) {
  Recorded r;
  const std::string before = r.repo.head();
  r.repo.git({"commit", "-q", "--amend", "-m", "by hand, amended"});
  auto out = r.run({"show", "HEAD"});
  ASSERT_EQ(out.exit_code, 0) << out.err;
  EXPECT_NE(out.out.find("Rewritten from: " + before + " (human"), std::string::npos) << out.out;
}

TEST(ViewsCli, BlameAttributesEachLineAndGivesShares) {
  TempRepo repo;
  const std::string c1 = repo.commit_file("app.py", "a\na\na\na\n", "one");
  const std::string c2 = repo.commit_file("app.py", "a\na\na\na\nb\nb\nb\n", "two");
  const std::string c3 = repo.commit_file("app.py", "a\na\na\na\nb\nb\nb\nc\nc\n", "three");
  const std::string c4 = repo.commit_file("app.py", "a\na\na\na\nb\nb\nb\nc\nc\nh\n", "four");
  write_file(repo.root() / ".brenik/.platform/log.jsonl",
             line_for(c1, "claude-code", ", \"synced\": false, \"telemetry\": {\"model\": \"claude-opus-4-6\"}") +
                 line_for(c2, "codex", ", \"synced\": false") + line_for(c3, "cursor", ", \"synced\": false") +
                 line_for(c4, "human", ", \"synced\": false"));
  auto out = run_binary("brenik", {"blame", "app.py"}, {.cwd = repo.root(), .env = PLAIN});
  ASSERT_EQ(out.exit_code, 0) << out.err;
  EXPECT_NE(out.out.find(c1.substr(0, 7) + " claude-code (claude-opus-4-6)  1) a"), std::string::npos) << out.out;
  EXPECT_NE(out.out.find(c2.substr(0, 7) + " codex "), std::string::npos) << out.out;
  EXPECT_NE(out.out.find(c4.substr(0, 7) + " human                         10) h"), std::string::npos) << out.out;
  EXPECT_NE(out.out.find("claude-code (claude-opus-4-6) 40%, codex 30%, cursor 20%, human 10%"), std::string::npos)
      << out.out;

  // From a subfolder, with a revision: the path is the user's.
  fs::create_directories(repo.root() / "sub");
  out = run_binary("brenik", {"blame", "../app.py", c2, "--json"}, {.cwd = repo.root() / "sub", .env = PLAIN});
  ASSERT_EQ(out.exit_code, 0) << out.err;
  auto v = json::loads(out.out);
  ASSERT_EQ(v["lines"].size(), 7u);
  EXPECT_EQ(v["lines"][4]["commit"], c2);
  EXPECT_EQ(v["lines"][4]["attribution"]["agent"], "codex");
  EXPECT_EQ(v["lines"][4]["line"], 5);
  ASSERT_EQ(v["shares"].size(), 2u);
  EXPECT_EQ(v["shares"][0]["label"], "claude-code (claude-opus-4-6)");
  EXPECT_EQ(v["shares"][0]["lines"], 4);
  EXPECT_EQ(v["shares"][1]["percent"], 42.9);

  // A line not committed yet is counted as such.
  write_file(repo.root() / "app.py", "a\na\na\na\nb\nb\nb\nc\nc\nh\nnew\n");
  out = run_binary("brenik", {"blame", "app.py"}, {.cwd = repo.root(), .env = PLAIN});
  EXPECT_NE(out.out.find("not committed yet 9%"), std::string::npos) << out.out;
  if (!python_available()) return;
  out = run_binary("brenik", {"blame", "--json", "app.py"}, {.cwd = repo.root(), .env = PLAIN});
  const auto checked = run_python(R"(
import json, sys
text = open(sys.argv[1], encoding="utf-8").read().rstrip("\n")
v = json.loads(text)
assert json.dumps(v) == text
print(len(v["lines"]), sum(s["lines"] for s in v["shares"]))
)",
                                  out.out);
  ASSERT_EQ(checked.size(), 1u);
  EXPECT_EQ(checked[0], "11 11");
}

TEST(ViewsCli, BlameShowsEachKindOfRecord) {
  Recorded r;
  auto out = r.run({"blame", "--json", "f.txt"});
  ASSERT_EQ(out.exit_code, 0) << out.err;
  const auto v = json::loads(out.out);
  ASSERT_EQ(v["lines"].size(), 6u);
  const std::vector<std::pair<std::string, std::string>> expected{
      {r.unrecorded, "not recorded"}, {r.attested, "claude-code (claude-opus-4-6)"},
      {r.unattested, "unknown"},      {r.backfilled, "codex (gpt-5)"},
      {r.caught_up, "cursor"},        {r.human, "human"}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(v["lines"][i]["commit"], expected[i].first) << i;
    EXPECT_EQ(v["lines"][i]["attribution"]["label"], expected[i].second) << i;
  }
  ASSERT_EQ(v["shares"].size(), 6u);
  for (const auto& s : v["shares"]) EXPECT_EQ(s["lines"], 1);
  out = r.run({"blame", "f.txt"});
  EXPECT_NE(out.out.find(r.backfilled.substr(0, 7) + " codex (gpt-5)"), std::string::npos) << out.out;
  EXPECT_NE(out.out.find("17%"), std::string::npos) << out.out;
}

TEST(ViewsCli, RefusesWhatGitCannotResolve) {
  Recorded r;
  auto out = r.run({"show", "no-such-rev"});
  EXPECT_EQ(out.exit_code, 1);
  EXPECT_NE(out.err.find("unknown revision 'no-such-rev'"), std::string::npos) << out.err;
  EXPECT_EQ(out.out, "");
  out = r.run({"log", "no-such-rev"});
  EXPECT_EQ(out.exit_code, 1);
  EXPECT_NE(out.err.find("error: ambiguous argument 'no-such-rev': unknown revision"), std::string::npos) << out.err;
  EXPECT_EQ(out.err.find("Use '--'"), std::string::npos) << out.err;
  // An option-looking revision is a revision, not an option of git.
  out = r.run({"log", "--", "--output=/tmp/brenik-views-test"});
  EXPECT_EQ(out.exit_code, 1);
  EXPECT_FALSE(fs::exists("/tmp/brenik-views-test"));
  out = r.run({"blame", "f.txt", "--", "--output=/tmp/brenik-views-test"});
  EXPECT_EQ(out.exit_code, 1);
  EXPECT_FALSE(fs::exists("/tmp/brenik-views-test"));
  write_file(r.repo.root() / "untracked.txt", "x\n");
  out = r.run({"blame", "untracked.txt"});
  EXPECT_EQ(out.exit_code, 1);
  EXPECT_NE(out.err.find("untracked.txt"), std::string::npos) << out.err;
  out = r.run({"blame", "missing.txt"});
  EXPECT_EQ(out.exit_code, 1);
  out = r.run({"log", "-n", "-1"});
  EXPECT_EQ(out.exit_code, 2) << out.out;
  TempDir plain;
  for (const char* cmd : {"log", "show", "blame"}) {
    std::vector<std::string> args{cmd};
    if (std::string(cmd) != "log") args.push_back("x");
    out = run_binary("brenik", args, {.cwd = plain.path(), .env = PLAIN});
    EXPECT_EQ(out.exit_code, 1) << cmd;
    EXPECT_NE(out.err.find("Not inside a git repository."), std::string::npos) << cmd << out.err;
  }
}

TEST(ViewsCli, AnEmptyRepositoryIsRefusedAsGitDoes) {
  TempRepo repo;
  auto out = run_binary("brenik", {"log"}, {.cwd = repo.root(), .env = PLAIN});
  EXPECT_EQ(out.exit_code, 1);
  EXPECT_NE(out.err.find("does not have any commits yet"), std::string::npos) << out.err;
  EXPECT_EQ(out.err.find("fatal:"), std::string::npos) << out.err;
}

}  // namespace
}  // namespace brenik::testing
