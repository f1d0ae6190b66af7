#include "app.hpp"

#include <algorithm>
#include <charconv>

#include "utils/json.hpp"

namespace brenik::server {

void send_json(httplib::Response& res, int status, const Json& body) {
  res.status = status;
  res.set_content(body.dump(), "application/json");
}

void send_error(httplib::Response& res, int status, const std::string& code, const std::string& message) {
  Json body = {{"error", {{"code", code}, {"message", message}}}};
  send_json(res, status, body);
}

std::optional<User> authenticate(App& app, const httplib::Request& req, httplib::Response& res) {
  const std::string header = req.get_header_value("Authorization");
  const std::string prefix = "Bearer ";
  if (header.rfind(prefix, 0) != 0 || header.size() == prefix.size()) {
    send_error(res, 401, "key_rejected", "No API key was sent.");
    return std::nullopt;
  }
  auto user = app.store.user_for_key(header.substr(prefix.size()));
  if (!user) {
    send_error(res, 401, "key_rejected", "This API key is not valid.");
    return std::nullopt;
  }
  if (!user->active) {
    send_error(res, 402, "account_inactive", "This account is not active.");
    return std::nullopt;
  }
  return user;
}

std::optional<Project> authorize_project(App& app, const httplib::Request& req, httplib::Response& res,
                                         const std::string& id_text) {
  auto user = authenticate(app, req, res);
  if (!user) return std::nullopt;
  std::int64_t id = 0;
  auto [ptr, ec] = std::from_chars(id_text.data(), id_text.data() + id_text.size(), id);
  std::optional<Project> project;
  if (ec == std::errc() && ptr == id_text.data() + id_text.size()) project = app.store.project(id);
  if (!project) {
    send_error(res, 404, "not_found", "No such project.");
    return std::nullopt;
  }
  if (!app.store.is_member(user->id, project->team_id)) {
    send_error(res, 403, "not_a_member", "You are not a member of this project's team.");
    return std::nullopt;
  }
  return project;
}

std::optional<Json> json_body(const httplib::Request& req, httplib::Response& res) {
  if (brenik::json::nesting_depth(req.body, MAX_JSON_DEPTH) > MAX_JSON_DEPTH) {
    send_error(res, 400, "bad_request",
               "The request body nests deeper than " + std::to_string(MAX_JSON_DEPTH) + " levels.");
    return std::nullopt;
  }
  Json body = Json::parse(req.body, nullptr, false);
  if (body.is_discarded()) {
    send_error(res, 400, "bad_request", "The request body is not JSON.");
    return std::nullopt;
  }
  return body;
}

}  // namespace brenik::server
