#include "services/export/statements.hpp"

#include <cctype>
#include <ctime>

#include "protocol/http_client.hpp"
#include "utils/json.hpp"
#include "utils/sha256.hpp"

namespace brenik::services::exporting {

namespace {

const json::Value* member_of(const json::Value& v, const char* key) {
  if (!v.is_object()) return nullptr;
  auto it = v.find(key);
  return it == v.end() || it->is_null() ? nullptr : &*it;
}

// The archived attestation speaks first; the log line is what is left of
// it (or all there is).
std::string fact(const CommitRecord& r, const char* key) {
  std::string v = text_member(r.attestation, key);
  return v.empty() ? text_member(r.log_line, key) : v;
}

std::string telemetry_text(const CommitRecord& r, const char* key) {
  for (const json::Value* src : {&r.attestation, &r.log_line})
    if (const json::Value* t = member_of(*src, "telemetry")) {
      std::string v = text_member(*t, key);
      if (!v.empty()) return v;
    }
  return "";
}

std::string model_of(const CommitRecord& r) {
  std::string m = text_member(r.attestation, "agent_model");
  return m.empty() ? telemetry_text(r, "model") : m;
}

std::string session_of(const CommitRecord& r) {
  std::string s = fact(r, "agent_session_id");
  return s.empty() ? telemetry_text(r, "session_id") : s;
}

// A session id inside a URN: everything but the unreserved characters is
// percent-encoded, as in a URL's path segment.
std::string session_urn(const std::string& id) {
  return "urn:brenik:session:" + protocol::http_client::detail::encode_segment(id);
}

}  // namespace

namespace detail {

Contributor contributor_of(const CommitRecord& r) {
  // Nothing readable (an archive that could not be read, no log line): no
  // claim either way.
  if (!r.attestation.is_object() && !r.log_line.is_object()) return {"unknown", ""};
  const std::string agent = fact(r, "agent");
  const std::string model = model_of(r);
  // A model named without an agent is still no sign of a human author.
  if (agent.empty()) return {model.empty() ? "human" : "unknown", ""};
  // "unknown" is what a record says when no agent could be proven: that is
  // not evidence of a human author either.
  if (agent == "unknown" || model.empty()) return {"unknown", ""};
  const std::string provider = fact(r, "agent_provider");
  if (provider.empty() || model.find('/') != std::string::npos) return {"ai", model};
  return {"ai", provider + "/" + model};
}

std::string record_uuid(const std::string& commit) {
  const std::string digest = utils::sha256_hex("brenik agent-trace record\n" + commit);
  std::string hex = digest.substr(0, 32);
  hex[12] = '8';  // version 8: custom, here SHA-256 based
  static const char* variant = "89ab";
  hex[16] = variant[std::stoi(hex.substr(16, 1), nullptr, 16) & 3];
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
         hex.substr(20, 12);
}

std::string utc_timestamp(std::int64_t epoch_seconds) {
  std::time_t t = static_cast<std::time_t>(epoch_seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

}  // namespace detail

json::Value agent_trace_record(const CommitRecord& r, const std::string& tool_version) {
  const auto who = detail::contributor_of(r);
  const std::string session = session_of(r);
  json::Value contributor = json::Value::object();
  contributor["type"] = who.type;
  if (!who.model_id.empty()) contributor["model_id"] = who.model_id;

  json::Value files = json::Value::array();
  for (const auto& f : r.changes.files) {
    json::Value ranges = json::Value::array();
    for (const auto& range : f.added)
      ranges.push_back(json::Value{{"start_line", range.start_line}, {"end_line", range.end_line}});
    json::Value conversation = json::Value::object();
    conversation["contributor"] = contributor;
    conversation["ranges"] = std::move(ranges);
    if (!session.empty())
      conversation["related"] = json::Value::array({json::Value{{"type", "session"}, {"url", session_urn(session)}}});
    json::Value file = json::Value::object();
    file["path"] = f.path;
    file["conversations"] = json::Value::array({std::move(conversation)});
    files.push_back(std::move(file));
  }

  json::Value ours = json::Value::object();
  for (const char* key : {"agent", "summary", "task_type"})
    if (std::string v = fact(r, key); !v.empty()) ours[key] = v;
  if (!session.empty()) ours["agent_session_id"] = session;
  if (const json::Value* rules = member_of(r.attestation, "rules")) ours["rules"] = *rules;
  if (std::string h = text_member(r.attestation, "staged_diff_hash"); !h.empty()) ours["diff_hash"] = h;

  json::Value v = json::Value::object();
  v["version"] = AGENT_TRACE_VERSION;
  v["id"] = detail::record_uuid(r.changes.commit);
  v["timestamp"] = detail::utc_timestamp(r.changes.author_time);
  v["vcs"] = json::Value{{"type", "git"}, {"revision", r.changes.commit}};
  v["tool"] = json::Value{{"name", "brenik"}, {"version", tool_version}};
  v["files"] = std::move(files);
  v["metadata"] = json::Value{{METADATA_KEY, std::move(ours)}};
  return v;
}

json::Value in_toto_statement(const CommitRecord& r) {
  json::Value subject = json::Value::object();
  subject["name"] = r.changes.commit;
  subject["digest"] = json::Value{{"gitCommit", r.changes.commit}};
  json::Value predicate = json::Value::object();
  predicate["log_line"] = r.log_line;
  predicate["attestation"] = r.attestation;
  json::Value v = json::Value::object();
  v["_type"] = IN_TOTO_STATEMENT_TYPE;
  v["subject"] = json::Value::array({std::move(subject)});
  v["predicateType"] = PREDICATE_TYPE;
  v["predicate"] = std::move(predicate);
  return v;
}

std::optional<StatementClaim> statement_claim(const json::Value& s) {
  if (!s.is_object()) return std::nullopt;
  StatementClaim claim;
  if (text_member(s, "_type") == IN_TOTO_STATEMENT_TYPE) {
    const json::Value* subjects = member_of(s, "subject");
    if (!subjects || !subjects->is_array() || subjects->size() != 1) return std::nullopt;
    const json::Value* digest = member_of((*subjects)[0], "digest");
    claim.commit = digest ? text_member(*digest, "gitCommit") : "";
    if (text_member(s, "predicateType") == PREDICATE_TYPE)
      if (const json::Value* p = member_of(s, "predicate"))
        if (const json::Value* a = member_of(*p, "attestation"))
          if (std::string h = text_member(*a, "staged_diff_hash"); !h.empty()) claim.diff_hash = h;
  } else if (const json::Value* vcs = member_of(s, "vcs"); vcs && member_of(s, "version")) {
    if (text_member(*vcs, "type") != "git") return std::nullopt;
    claim.commit = text_member(*vcs, "revision");
    if (const json::Value* m = member_of(s, "metadata"))
      if (const json::Value* ours = member_of(*m, METADATA_KEY))
        if (std::string h = text_member(*ours, "diff_hash"); !h.empty()) claim.diff_hash = h;
  } else {
    return std::nullopt;
  }
  if (claim.commit.empty()) return std::nullopt;
  return claim;
}

}  // namespace brenik::services::exporting
