// The server operations on top of the transport: paths, bodies, status
// handling and the shape checks of every answer.
#include "protocol/http_client.hpp"

#include <set>

#include "utils/json.hpp"

namespace brenik::protocol::http_client {

namespace {

const std::set<std::string>& known_codes() {
  static const std::set<std::string> codes = {CODE_KEY_REJECTED,   CODE_ACCOUNT_INACTIVE, CODE_AMBIGUOUS_TEAM,
                                              CODE_REPO_AMBIGUOUS, CODE_REPO_CONFLICT,    CODE_NOT_A_MEMBER,
                                              CODE_CAPACITY,       CODE_BAD_REMOTE};
  return codes;
}

std::string project_path(const std::string& project_id, const std::string& tail) {
  return "api/v1/projects/" + detail::project_segment(json::Value(project_id)) + "/" + tail;
}

detail::Request get(const std::string& api_key, const std::string& api_url, const std::string& path) {
  detail::Request r;
  r.method = "GET";
  r.url = detail::join_url(api_url, path);
  r.api_key = api_key;
  return r;
}

detail::Request post(const std::string& api_key, const std::string& api_url, const std::string& path,
                     const json::Value& body) {
  detail::Request r;
  r.method = "POST";
  r.url = detail::join_url(api_url, path);
  r.api_key = api_key;
  r.body = json::dumps(body);
  return r;
}

// A 2xx answer decoded; any other status raised.
json::Value exchange(const detail::Request& request) {
  auto response = detail::perform(request);
  if (response.status < 200 || response.status >= 300) detail::raise_for_status(response);
  return detail::decode_json(response);
}

json::Value expect_object(json::Value value, const std::string& what) {
  if (!value.is_object()) throw ProtocolError(what + ": expected a JSON object, got " + json::type_name(value));
  return value;
}

json::Value expect_object_or_list(json::Value value, const std::string& what) {
  if (!value.is_object() && !value.is_array())
    throw ProtocolError(what + ": expected a JSON object or list, got " + json::type_name(value));
  return value;
}

std::optional<std::string> header(const detail::Response& r, const std::string& name) {
  auto it = r.headers.find(name);
  if (it == r.headers.end() || it->second.empty()) return std::nullopt;
  return it->second;
}

}  // namespace

namespace detail {

void raise_for_status(const Response& response) {
  std::string code, message;
  if (auto parsed = json::try_loads(response.body)) {
    const auto& err = member(*parsed, "error");
    code = text_member(err, "code");
    message = text_member(err, "message");
  }
  if (message.empty()) message = "server answered HTTP " + std::to_string(response.status);
  if (known_codes().count(code)) throw AgentApiError(code, message, response.status);
  if (response.status == 401) throw AgentApiError(CODE_KEY_REJECTED, message, 401);
  if (response.status == 402) throw AgentApiError(CODE_ACCOUNT_INACTIVE, message, 402);
  throw HTTPError(response.status, "HTTP " + std::to_string(response.status) + ": " + message);
}

json::Value decode_json(const Response& response) {
  try {
    return json::loads(response.body);
  } catch (const JSONDecodeError& e) {
    throw ProtocolError(std::string("answer is not JSON (") + e.what() + ")");
  }
}

}  // namespace detail

json::Value fetch_context(const std::string& project_id, const std::string& api_key, const std::string& api_url) {
  return expect_object(exchange(get(api_key, api_url, project_path(project_id, "context"))), "context");
}

json::Value fetch_system_context(const std::string& project_id, const std::string& api_key, const std::string& api_url,
                                 const FetchSystemContextOptions& options) {
  json::Value body = json::Value::object();
  body["systems"] = options.systems ? *options.systems : json::Value();
  return exchange(post(api_key, api_url, project_path(project_id, "system-context"), body));
}

DeclarativeState fetch_declarative_state_detailed(const std::string& project_id, const std::string& api_key,
                                                  const std::string& api_url, const DeclarativeStateOptions& options) {
  DeclarativeState result;
  if (options.etags.is_object()) result.etags = options.etags;
  for (const auto& resource : DECLARATIVE_RESOURCES) {
    auto request = get(api_key, api_url, project_path(project_id, "declarative/" + resource));
    std::string sent_tag = text_member(result.etags, resource);
    if (!sent_tag.empty()) request.headers.emplace_back("If-None-Match", sent_tag);
    auto response = detail::perform(request);
    result.fetch_statuses[resource] = response.status;
    if (response.status == 304) continue;
    if (response.status == 401 || response.status == 402) detail::raise_for_status(response);
    // Other failures of one resource are recorded, not raised: the status
    // tells later readers that this part of the cache could not be refreshed.
    if (response.status != 200) continue;
    result.state[resource] = detail::decode_json(response);
    if (auto tag = header(response, "etag")) result.etags[resource] = *tag;
  }
  return result;
}

std::pair<std::optional<json::Value>, std::optional<std::string>> fetch_all_specs(const std::string& api_key,
                                                                                  const std::string& api_url,
                                                                                  const std::string& project_id,
                                                                                  const FetchSpecsOptions& options) {
  auto request = get(api_key, api_url, project_path(project_id, "specs"));
  if (options.etag && !options.etag->empty()) request.headers.emplace_back("If-None-Match", *options.etag);
  auto response = detail::perform(request);
  if (response.status == 304) {
    auto tag = header(response, "etag");
    return {std::nullopt, tag ? tag : options.etag};
  }
  if (response.status != 200) detail::raise_for_status(response);
  auto payload = expect_object(detail::decode_json(response), "specs");
  return {std::move(payload), header(response, "etag")};
}

json::Value fetch_guardrails(const std::string& project_id, const std::string& api_key, const std::string& api_url) {
  return expect_object(exchange(get(api_key, api_url, project_path(project_id, "guardrails"))), "guardrails");
}

json::Value fetch_skills(const std::string& project_id, const std::string& api_key, const std::string& api_url) {
  return expect_object_or_list(exchange(get(api_key, api_url, project_path(project_id, "skills"))), "skills");
}

json::Value fetch_custom_docs(const std::string& project_id, const std::string& api_key, const std::string& api_url) {
  return expect_object(exchange(get(api_key, api_url, project_path(project_id, "custom-docs"))), "custom docs");
}

json::Value fetch_memories(const std::string& project_id, const std::string& api_key, const std::string& api_url) {
  return expect_object_or_list(exchange(get(api_key, api_url, project_path(project_id, "memories"))), "memories");
}

json::Value resolve_project(const std::string& api_key, const std::string& api_url, const std::string& origin_remote,
                            std::optional<std::int64_t> team_id) {
  json::Value body = json::Value::object();
  body["originRemote"] = origin_remote;
  if (team_id) body["teamId"] = *team_id;
  return exchange(post(api_key, api_url, "api/v1/projects/resolve", body));
}

json::Value upload_attestations(const std::string& api_key, const std::string& api_url, const json::Value& project_id,
                                const std::vector<json::Value>& batch, const UploadOptions& options) {
  try {
    json::Value body = json::Value::object();
    body["attestations"] = json::Value::array();
    for (const auto& record : batch) body["attestations"].push_back(record);
    auto request =
        post(api_key, api_url, "api/v1/projects/" + detail::project_segment(project_id) + "/attestations", body);
    if (options.extra_headers)
      for (const auto& [name, value] : *options.extra_headers) request.headers.emplace_back(name, value);
    auto data = expect_object(exchange(request), "upload");
    if (data.contains("inserted")) {
      const auto& inserted = data["inserted"];
      if (!inserted.is_number_integer() && !inserted.is_number_unsigned())
        throw ProtocolError("upload: 'inserted' is not an integer");
      // It counts records of this batch: anything outside 0..size is not an
      // answer to what was sent.
      if (inserted.is_number_integer() && inserted.get<std::int64_t>() < 0)
        throw ProtocolError("upload: 'inserted' is negative");
      if (inserted.get<std::uint64_t>() > batch.size())
        throw ProtocolError("upload: 'inserted' exceeds the records sent");
    }
    return data;
  } catch (const UploadError&) {
    throw;
  } catch (const AgentApiError& e) {
    throw UploadError("upload refused: " + std::string(e.what()), e.code, e.status, e.what());
  } catch (const HTTPError& e) {
    // The server's own words, without the status this error already holds.
    std::string words = e.what();
    const std::string status_prefix = "HTTP " + std::to_string(e.status) + ": ";
    if (words.starts_with(status_prefix)) words.erase(0, status_prefix.size());
    throw UploadError("upload failed: " + e.kind() + ": " + e.what(), std::nullopt, e.status, std::move(words));
  } catch (const Error& e) {
    throw UploadError("upload failed: " + e.kind() + ": " + e.what());
  } catch (const std::exception& e) {
    throw UploadError(std::string("upload failed: ") + error_kind(e) + ": " + e.what());
  }
}

long key_check_status(const std::string& api_key, const std::string& api_url) {
  return detail::perform(get(api_key, api_url, "api/v1/projects/0/guardrails")).status;
}

void require_safe_url(const std::string& url) { detail::check_url_safe(url); }

}  // namespace brenik::protocol::http_client
