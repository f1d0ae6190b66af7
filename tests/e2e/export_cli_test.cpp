// `brenik export` and `brenik verify`, the real binary in real repositories
// with SSH keys made by ssh-keygen here.
#include <gtest/gtest.h>

#include "paths/paths.hpp"
#include "services/ledger/commit_records.hpp"
#include "services/git/git.hpp"
#include "support/temp_repo.hpp"
#include "utils/base64.hpp"
#include "utils/json.hpp"

namespace tv = brenik::services::tolvern;
namespace paths = brenik::paths;
namespace fs = std::filesystem;
using brenik::json::Value;

namespace brenik::testing {
namespace {

std::vector<Value> json_lines(const std::string& text) {
  std::vector<Value> out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) out.push_back(json::loads(text.substr(start, end - start)));
    start = end + 1;
  }
  return out;
}

std::string join_lines(const std::vector<Value>& values) {
  std::string s;
  for (const auto& v : values) s += json::dumps(v) + "\n";
  return s;
}

class ExportCli : public ::testing::Test {
protected:
  TempRepo repo;
  TempDir home;
  std::string attested, unattested, backfilled, bare;

  utils::RunResult brenik(const std::vector<std::string>& args, const fs::path& cwd,
                          std::optional<std::string> input = std::nullopt) {
    return run_binary("brenik", args,
                      {.cwd = cwd,
                       .timeout_seconds = 60.0,
                       .stdin_data = std::move(input),
                       .env = {{"HOME", home.path().string()}, {"NO_COLOR", "1"}, {"SSH_AUTH_SOCK", std::nullopt}}});
  }
  utils::RunResult brenik(const std::vector<std::string>& args) { return brenik(args, repo.root()); }

  fs::path make_key(const std::string& name) {
    const fs::path key = home.path() / name;
    auto r = utils::run({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", name, "-f", key.string()});
    EXPECT_TRUE(r.ok()) << r.err;
    return key;
  }

  // git's SSH signing set up for `key`, with `allowed_key` the only allowed signer.
  void configure_signing(const TempRepo& where, const fs::path& key, const fs::path& allowed_key) {
    std::string pub = read_file(allowed_key.string() + ".pub");
    pub = pub.substr(0, pub.find(' ', pub.find(' ') + 1));
    write_file(home.path() / "allowed_signers", "dev@example.com " + pub + "\n");
    where.git({"config", "gpg.format", "ssh"});
    where.git({"config", "user.signingKey", key.string() + ".pub"});
    where.git({"config", "gpg.ssh.allowedSignersFile", (home.path() / "allowed_signers").string()});
  }

  void SetUp() override {
    const fs::path root = repo.root();
    backfilled = repo.commit_file("a.txt", "one\ntwo\n", "feat: first");
    bare = repo.commit_file("b.txt", "b\n", "chore: nobody recorded this");
    unattested = repo.commit_file("a.txt", "one\nTWO\nthree\n", "fix: second");
    attested = repo.commit_file("c.txt", "c1\nc2\nc3\n", "feat: third");
    Value att{{"staged_diff_hash", tv::detail::patch_hash(*tv::detail::commit_patch(attested, root))},
              {"timestamp", "2026-01-02T03:04:05Z"},
              {"agent_model", "claude-opus-4-6"},
              {"agent", "claude-code"},
              {"agent_provider", "anthropic"},
              {"agent_session_id", "sess-9"},
              {"task_type", "feature"},
              {"summary", "Third file"}};
    tv::detail::log_attestation(paths::log_jsonl(root), paths::attestations_dir(root), att,
                                {.commit_override = attested, .repo_root = root, .archive_ledger = false});
    tv::detail::write_commit_record(root, unattested,
                                    {.source = "post_commit",
                                     .agent_name = "unknown",
                                     .agent_provider = std::nullopt,
                                     .session_id = std::nullopt,
                                     .telemetry = std::nullopt,
                                     .task_type = std::nullopt,
                                     .archive_ledger = false,
                                     .event = std::string("commit_unattested")});
    tv::detail::write_commit_record(root, backfilled,
                                    {.source = "backfill",
                                     .agent_name = "codex",
                                     .agent_provider = "openai",
                                     .session_id = "sess-1",
                                     .telemetry = Value{{"model", "gpt-5"}},
                                     .task_type = std::nullopt,
                                     .archive_ledger = false});
  }
};

}  // namespace

TEST_F(ExportCli, ExportsRecordedCommitsInGitLogOrderInBothFormats) {
  auto r = brenik({"export", "--format", "agent-trace"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  auto docs = json_lines(r.out);
  ASSERT_EQ(docs.size(), 3u) << r.out;
  EXPECT_NE(r.err.find("1 commit without a record left out"), std::string::npos) << r.err;
  EXPECT_EQ(docs[0]["vcs"]["revision"], attested);
  EXPECT_EQ(docs[1]["vcs"]["revision"], unattested);
  EXPECT_EQ(docs[2]["vcs"]["revision"], backfilled);
  const auto contributor = [](const Value& d) { return d["files"][0]["conversations"][0]["contributor"]; };
  EXPECT_EQ(contributor(docs[0]), (Value{{"type", "ai"}, {"model_id", "anthropic/claude-opus-4-6"}}));
  EXPECT_EQ(contributor(docs[1]), (Value{{"type", "unknown"}}));
  EXPECT_EQ(contributor(docs[2]), (Value{{"type", "ai"}, {"model_id", "openai/gpt-5"}}));
  // "one\nTWO\nthree\n" over "one\ntwo\n": lines 2 and 3 are the commit's.
  EXPECT_EQ(docs[1]["files"][0]["path"], "a.txt");
  EXPECT_EQ(docs[1]["files"][0]["conversations"][0]["ranges"], Value::parse(R"([{"start_line":2,"end_line":3}])"));
  EXPECT_EQ(docs[0]["metadata"]["dev.brenik"]["summary"], "Third file");

  const fs::path file = repo.root() / "out" / "export.jsonl";
  fs::create_directories(file.parent_path());
  r = brenik({"export", bare + "~1.." + attested, "--format", "in-toto", "--output", file.string()});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "");
  auto statements = json_lines(read_file(file));
  ASSERT_EQ(statements.size(), 2u);
  EXPECT_EQ(statements[0]["subject"][0]["digest"]["gitCommit"], attested);
  EXPECT_EQ(statements[0]["predicate"]["attestation"]["agent_session_id"], "sess-9");
  EXPECT_EQ(statements[1]["predicate"]["log_line"]["event"], "commit_unattested");
  EXPECT_NE(r.err.find("1 commit without a record"), std::string::npos) << r.err;

  EXPECT_EQ(brenik({"export", "--format", "spdx"}).exit_code, 2);
  EXPECT_EQ(brenik({"export"}).exit_code, 2);
  r = brenik({"export", "no-such-ref", "--format", "in-toto"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("no-such-ref"), std::string::npos) << r.err;
  EXPECT_EQ(brenik({"export", "--format", "in-toto"}, home.path()).exit_code, 1);
}

TEST_F(ExportCli, SigningWithoutSshSetupIsRefusedWithHowToConfigure) {
  auto r = brenik({"export", "--format", "in-toto", "--sign"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("gpg.format ssh"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("user.signingKey"), std::string::npos) << r.err;
}

TEST_F(ExportCli, SignedExportVerifiesAndEachFaultHasItsReason) {
  const fs::path dev = make_key("dev"), stranger = make_key("stranger");
  configure_signing(repo, dev, dev);
  const fs::path signed_file = home.path() / "signed.jsonl";
  auto r = brenik({"export", "--format", "in-toto", "--sign", "-o", signed_file.string()});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  auto envelopes = json_lines(read_file(signed_file));
  ASSERT_EQ(envelopes.size(), 3u);
  EXPECT_EQ(envelopes[0]["payloadType"], "application/vnd.in-toto+json");
  EXPECT_EQ(envelopes[0]["signatures"][0]["keyid"].get<std::string>().rfind("SHA256:", 0), 0u);

  r = brenik({"verify", signed_file.string()});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(attested + "  ok (signed by dev@example.com)"), std::string::npos) << r.out;
  r = brenik({"verify", "-"}, repo.root(), read_file(signed_file));
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;

  // One byte of one payload changed: that line fails, the others hold.
  auto tampered = envelopes;
  std::string payload = *utils::base64_decode(tampered[1]["payload"].get<std::string>());
  payload[payload.find("fix: second")] = 'F';
  tampered[1]["payload"] = utils::base64_encode(payload);
  write_file(home.path() / "tampered.jsonl", join_lines(tampered));
  r = brenik({"verify", (home.path() / "tampered.jsonl").string(), "--json"});
  EXPECT_EQ(r.exit_code, 1) << r.out;
  Value report = json::loads(r.out);
  EXPECT_EQ(report["checked"], 3);
  EXPECT_EQ(report["failed"], 1);
  EXPECT_EQ(report["results"][0]["status"], "ok");
  EXPECT_EQ(report["results"][1]["status"], "bad signature");
  EXPECT_EQ(report["results"][1]["commit"], unattested);
  EXPECT_EQ(report["results"][2]["status"], "ok");

  // A character of the encoded payload that no longer decodes.
  tampered = envelopes;
  std::string encoded = tampered[2]["payload"];
  encoded[5] = '!';
  tampered[2]["payload"] = encoded;
  write_file(home.path() / "tampered.jsonl", join_lines(tampered));
  r = brenik({"verify", (home.path() / "tampered.jsonl").string()});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("line 3  bad signature"), std::string::npos) << r.out;

  // Signed by a key the allowed signers do not hold.
  configure_signing(repo, stranger, dev);
  r = brenik({"export", attested + "~1.." + attested, "--format", "agent-trace", "--sign", "-o",
              (home.path() / "stranger.jsonl").string()});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  r = brenik({"verify", (home.path() / "stranger.jsonl").string()});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find(attested + "  unknown signer"), std::string::npos) << r.out;

  // The commit's content rewritten under the same id.
  repo.git({"replace", attested, unattested});
  r = brenik({"verify", signed_file.string()});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find(attested + "  diff changed"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(unattested + "  ok"), std::string::npos) << r.out;
  repo.git({"replace", "-d", attested});

  // A repository that never had these commits.
  TempRepo other;
  other.commit_file("x.txt", "x\n", "unrelated");
  configure_signing(other, dev, dev);
  r = brenik({"verify", signed_file.string()}, other.root());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find(attested + "  commit missing"), std::string::npos) << r.out;
}

TEST_F(ExportCli, AgentTraceEnvelopesVerifyAndUnsignedLinesDoNot) {
  const fs::path dev = make_key("dev");
  configure_signing(repo, dev, dev);
  auto r = brenik({"export", "--format", "agent-trace", "--sign"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  write_file(home.path() / "trace.jsonl", r.out);
  EXPECT_EQ(json_lines(r.out)[0]["payloadType"], "application/vnd.agent-trace+json");
  r = brenik({"verify", (home.path() / "trace.jsonl").string()});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;

  r = brenik({"export", "--format", "in-toto"});
  // A bare statement naming a "commit" made of terminal control sequences.
  Value hostile = json_lines(r.out)[0];
  hostile["subject"][0]["digest"]["gitCommit"] = "\x1b]0;owned\x07";
  write_file(home.path() / "plain.jsonl", r.out + "garbage\n" + json::dumps(hostile) + "\n");
  r = brenik({"verify", (home.path() / "plain.jsonl").string()});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find(attested + "  unsigned"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("line 4  malformed"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("line 5  unsigned"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos);

  // Without an allowed signers file there is nothing to check against.
  repo.git({"config", "--unset", "gpg.ssh.allowedSignersFile"});
  r = brenik({"verify", (home.path() / "trace.jsonl").string()});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("gpg.ssh.allowedSignersFile"), std::string::npos) << r.err;
}

TEST_F(ExportCli, ARewrittenCommitIsExportedUnderItsNewIdOnly) {
  // The attested commit amended: the post-commit hook records the new one.
  write_file(repo.root() / "c.txt", "c1\nc2\nc3\nc4\n");
  repo.git({"add", "c.txt"});
  repo.git({"commit", "-q", "--amend", "-m", "feat: third, amended"});
  const std::string amended = repo.head();
  ASSERT_EQ(brenik({"sync", "--record-commit"}).exit_code, 0);
  for (const char* format : {"agent-trace", "in-toto"}) {
    auto r = brenik({"export", "--format", format});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    auto docs = json_lines(r.out);
    ASSERT_EQ(docs.size(), 3u) << format;
    EXPECT_EQ(r.out.find(attested), std::string::npos) << format;  // no longer in the history
    if (std::string(format) == "in-toto") {
      EXPECT_EQ(docs[0]["subject"][0]["digest"]["gitCommit"], amended);
      EXPECT_EQ(docs[0]["predicate"]["attestation"]["source"], "post_commit");
    } else {
      EXPECT_EQ(docs[0]["vcs"]["revision"], amended);
      EXPECT_EQ(docs[0]["files"][0]["conversations"][0]["contributor"]["type"], "unknown");
      EXPECT_EQ(docs[0]["files"][0]["conversations"][0]["ranges"], Value::parse(R"([{"start_line":1,"end_line":4}])"));
    }
  }
}

TEST_F(ExportCli, VerifyOfARangeChecksTheLocalRecords) {
  auto r = brenik({"verify"});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(attested + "  ok"), std::string::npos) << r.out;
  repo.git({"replace", attested, unattested});
  r = brenik({"verify", "HEAD"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find(attested + "  diff changed"), std::string::npos) << r.out;
}

}  // namespace brenik::testing
