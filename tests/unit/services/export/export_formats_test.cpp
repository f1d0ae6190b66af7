// The byte formats of an export: base64, the DSSE pre-authentication
// encoding and envelope, C-quoted paths from git, and the two documents a
// record becomes (checked on hand-built records: no git needed).
#include <gtest/gtest.h>

#include "services/export/commit_changes.hpp"
#include "services/export/dsse.hpp"
#include "services/export/statements.hpp"
#include "utils/base64.hpp"

namespace ex = brenik::services::exporting;
using brenik::json::Value;

namespace {

const std::string A(40, 'a');

ex::CommitRecord record(Value line, Value attestation) {
  ex::CommitRecord r;
  r.changes.commit = A;
  r.changes.author_time = 1769178600;  // 2026-01-23T14:30:00Z
  r.changes.files.push_back(
      {.path = "src/a.ts", .old_path = "", .binary = false, .deleted = false, .added = {{42, 67}, {70, 70}}});
  r.changes.files.push_back({.path = "logo.png", .old_path = "", .binary = true, .deleted = false, .added = {}});
  r.log_line = std::move(line);
  r.attestation = std::move(attestation);
  return r;
}

}  // namespace

TEST(Base64, KnownVectorsBothWays) {
  const std::pair<std::string, std::string> vectors[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="},
                                                         {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}};
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(brenik::utils::base64_encode(plain), encoded);
    EXPECT_EQ(brenik::utils::base64_decode(encoded), plain) << encoded;
  }
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(brenik::utils::base64_encode(all).substr(0, 8), "AAECAwQF");
  EXPECT_EQ(brenik::utils::base64_decode(brenik::utils::base64_encode(all)), all);
}

TEST(Base64, RefusesWhatIsNotCanonical) {
  for (const char* bad : {"Zg=", "Zh==", "Z===", "Zm9v!A==", "Zg==Zg==", "Zm9\n", "=Zm9"})
    EXPECT_EQ(brenik::utils::base64_decode(bad), std::nullopt) << bad;
}

TEST(Dsse, PreAuthenticationEncodingCountsBytes) {
  // The example of the DSSE protocol document.
  EXPECT_EQ(ex::pae("http://example.com/HelloWorld", "hello world"),
            "DSSEv1 29 http://example.com/HelloWorld 11 hello world");
  EXPECT_EQ(ex::pae("t", "\xc3\xa9"), "DSSEv1 1 t 2 \xc3\xa9");
  EXPECT_EQ(ex::pae("", ""), "DSSEv1 0  0 ");
}

TEST(Dsse, EnvelopeRoundTripsAndRefusesBrokenOnes) {
  ex::Envelope e{.payload_type = ex::IN_TOTO_PAYLOAD_TYPE,
                 .payload = "{\"a\": 1}",
                 .signatures = {{"SHA256:k", std::string("\x00\xff sig", 6)}}};
  Value v = ex::envelope_to_json(e);
  EXPECT_EQ(v["payload"], "eyJhIjogMX0=");
  auto back = ex::envelope_from_json(v);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->payload, e.payload);
  EXPECT_EQ(back->payload_type, e.payload_type);
  ASSERT_EQ(back->signatures.size(), 1u);
  EXPECT_EQ(back->signatures[0].sig, e.signatures[0].sig);
  EXPECT_EQ(back->signatures[0].keyid, "SHA256:k");

  Value broken = v;
  broken["payload"] = "not base64!";
  EXPECT_FALSE(ex::envelope_from_json(broken));
  broken = v;
  broken["signatures"][0]["sig"] = 5;
  EXPECT_FALSE(ex::envelope_from_json(broken));
  broken = v;
  broken.erase("payloadType");
  EXPECT_FALSE(ex::envelope_from_json(broken));
  EXPECT_FALSE(ex::envelope_from_json(Value::array()));
}

TEST(CommitChanges, UnquotesPathsAsGitQuotesThem) {
  std::size_t used = 0;
  EXPECT_EQ(ex::detail::unquote_path("\"b/t\\303\\251st \\\"q\\\"\\t.txt\" rest", used), "b/t\xc3\xa9st \"q\"\t.txt");
  EXPECT_EQ(used, 27u);  // up to and with the closing quote
  EXPECT_EQ(ex::detail::unquote_path("\"unterminated", used), std::nullopt);
  EXPECT_EQ(ex::detail::unquote_path("\"bad \\9\"", used), std::nullopt);
  EXPECT_EQ(ex::detail::unquote_path("plain", used), std::nullopt);
}

TEST(AgentTrace, ContributorFollowsWhatTheRecordNames) {
  struct Case {
    Value line, attestation;
    std::string type, model_id;
  };
  const Case cases[] = {
      // An attested commit: agent, provider and model from the archive.
      {Value{{"agent", "claude-code"}},
       Value{{"agent", "claude-code"}, {"agent_provider", "anthropic"}, {"agent_model", "claude-opus-4-6"}}, "ai",
       "anthropic/claude-opus-4-6"},
      // A deterministic record: the model only in the telemetry.
      {Value{{"agent", "codex"}, {"telemetry", {{"model", "openai/gpt-5"}}}}, Value(), "ai", "openai/gpt-5"},
      // An agent but no model: who knows which.
      {Value{{"agent", "cursor"}}, Value{{"agent", "cursor"}}, "unknown", ""},
      // Nothing proven is not proof of a human.
      {Value{{"agent", "unknown"}, {"telemetry", {{"model", "m"}}}}, Value(), "unknown", ""},
      // No agent named at all.
      {Value{{"agent", ""}}, Value{{"summary", "by hand"}}, "human", ""},
      {Value{{"agent", ""}}, Value(), "human", ""},
      // A model without an agent name: an agent wrote it, whichever.
      {Value{{"agent", ""}}, Value{{"agent_model", "claude-opus-4-6"}}, "unknown", ""},
      // Nothing readable at all (an archive that could not be read).
      {Value(), Value(), "unknown", ""},
  };
  for (const auto& c : cases) {
    auto who = ex::detail::contributor_of(record(c.line, c.attestation));
    EXPECT_EQ(who.type, c.type) << c.line.dump();
    EXPECT_EQ(who.model_id, c.model_id) << c.line.dump();
  }
}

TEST(AgentTrace, RecordCarriesRangesSessionAndMetadata) {
  Value line{{"commit", A}, {"agent", "claude-code"}, {"agent_session_id", "s 1/2"}, {"summary", "line says"}};
  Value att{{"staged_diff_hash", std::string(64, 'd')},
            {"agent", "claude-code"},
            {"agent_provider", "anthropic"},
            {"agent_model", "claude-opus-4-6"},
            {"task_type", "feature"},
            {"rules", {{"checked", true}, {"applicable", {"R1"}}}},
            {"summary", "Added rate limiting"}};
  Value v = ex::agent_trace_record(record(line, att), "1.2.3");
  EXPECT_EQ(v["version"], "0.1.0");
  EXPECT_EQ(v["timestamp"], "2026-01-23T14:30:00Z");
  EXPECT_EQ(v["vcs"], (Value{{"type", "git"}, {"revision", A}}));
  EXPECT_EQ(v["tool"], (Value{{"name", "brenik"}, {"version", "1.2.3"}}));
  const std::string id = v["id"];
  ASSERT_EQ(id.size(), 36u);
  EXPECT_EQ(id[14], '8');
  EXPECT_NE(std::string("89ab").find(id[19]), std::string::npos);
  EXPECT_EQ(id, ex::detail::record_uuid(A));
  EXPECT_NE(id, ex::detail::record_uuid(std::string(40, 'b')));

  ASSERT_EQ(v["files"].size(), 2u);
  const Value& conv = v["files"][0]["conversations"][0];
  EXPECT_EQ(v["files"][0]["path"], "src/a.ts");
  EXPECT_EQ(conv["contributor"], (Value{{"type", "ai"}, {"model_id", "anthropic/claude-opus-4-6"}}));
  EXPECT_EQ(conv["ranges"], Value::parse(R"([{"start_line":42,"end_line":67},{"start_line":70,"end_line":70}])"));
  EXPECT_EQ(conv["related"][0]["type"], "session");
  EXPECT_EQ(conv["related"][0]["url"], "urn:brenik:session:s%201%2F2");
  EXPECT_EQ(v["files"][1]["path"], "logo.png");
  EXPECT_TRUE(v["files"][1]["conversations"][0]["ranges"].empty());

  const Value& ours = v["metadata"]["dev.brenik"];
  EXPECT_EQ(ours["summary"], "Added rate limiting");  // the archive speaks first
  EXPECT_EQ(ours["task_type"], "feature");
  EXPECT_EQ(ours["diff_hash"], std::string(64, 'd'));
  EXPECT_EQ(ours["rules"]["applicable"][0], "R1");
  EXPECT_EQ(ours["agent_session_id"], "s 1/2");

  auto claim = ex::statement_claim(v);
  ASSERT_TRUE(claim);
  EXPECT_EQ(claim->commit, A);
  EXPECT_EQ(claim->diff_hash, std::string(64, 'd'));
}

TEST(InToto, StatementHoldsTheRecordAsItIs) {
  Value line{
      {"commit", A}, {"branch", "main"}, {"agent", "unknown"}, {"synced", false}, {"event", "commit_unattested"}};
  Value v = ex::in_toto_statement(record(line, Value()));
  EXPECT_EQ(v["_type"], "https://in-toto.io/Statement/v1");
  EXPECT_EQ(v["subject"], Value::parse("[{\"name\":\"" + A + "\",\"digest\":{\"gitCommit\":\"" + A + "\"}}]"));
  EXPECT_EQ(v["predicateType"], ex::PREDICATE_TYPE);
  EXPECT_EQ(v["predicate"]["log_line"], line);
  EXPECT_TRUE(v["predicate"]["attestation"].is_null());
  auto claim = ex::statement_claim(v);
  ASSERT_TRUE(claim);
  EXPECT_EQ(claim->commit, A);
  EXPECT_EQ(claim->diff_hash, std::nullopt);

  EXPECT_FALSE(ex::statement_claim(Value{{"_type", "https://in-toto.io/Statement/v1"}, {"subject", Value::array()}}));
  EXPECT_FALSE(ex::statement_claim(Value{{"version", "0.1.0"}, {"vcs", {{"type", "hg"}, {"revision", A}}}}));
  EXPECT_FALSE(ex::statement_claim(Value{{"hello", 1}}));
}
