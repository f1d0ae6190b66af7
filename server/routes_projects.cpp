// POST /api/v1/projects/resolve: find or create the project of a remote.
#include "app.hpp"
#include "remote_url.hpp"

namespace brenik::server {

namespace {

void resolve(App& app, const httplib::Request& req, httplib::Response& res) {
  auto user = authenticate(app, req, res);
  if (!user) return;
  auto body = json_body(req, res);
  if (!body) return;
  if (!body->is_object()) return send_error(res, 400, "bad_request", "Expected a JSON object.");
  auto remote_it = body->find("originRemote");
  if (remote_it == body->end() || !remote_it->is_string())
    return send_error(res, 422, "bad_remote", "originRemote must be the repository's remote URL.");
  auto key = normalize_remote(remote_it->get<std::string>());
  if (!key)
    return send_error(res, 422, "bad_remote", "'" + remote_it->get<std::string>() + "' is not a network git remote.");

  std::int64_t team = 0;
  auto team_it = body->find("teamId");
  if (team_it != body->end() && !team_it->is_null()) {
    if (!team_it->is_number_integer()) return send_error(res, 400, "bad_request", "teamId must be an integer.");
    team = team_it->get<std::int64_t>();
    if (!app.store.is_member(user->id, team))
      return send_error(res, 403, "not_a_member", "You are not a member of team " + std::to_string(team) + ".");
  } else {
    auto teams = app.store.teams_of(user->id);
    if (teams.empty()) return send_error(res, 403, "not_a_member", "You are not on any team.");
    if (teams.size() > 1) {
      std::string ids;
      for (auto t : teams) ids += (ids.empty() ? "" : ", ") + std::to_string(t);
      return send_error(res, 409, "ambiguous_team", "You belong to several teams (ids " + ids + "); name one of them.");
    }
    team = teams.front();
  }

  auto outcome = app.store.resolve(team, key->key, key->title);
  using Kind = ResolveOutcome::Kind;
  switch (outcome.kind) {
    case Kind::ambiguous:
      return send_error(res, 409, "repo_ambiguous",
                        "Several projects of team " + std::to_string(team) + " claim " + key->key + ".");
    case Kind::conflict:
      return send_error(res, 409, "repo_conflict", key->key + " is already linked to a project of another team.");
    case Kind::capacity:
      return send_error(res, 409, "capacity", "Team " + std::to_string(team) + " has reached its project limit.");
    case Kind::found:
    case Kind::created: break;
  }
  Json answer = {
      {"projectId", outcome.project.id}, {"title", outcome.project.title}, {"created", outcome.kind == Kind::created}};
  send_json(res, outcome.kind == Kind::created ? 201 : 200, answer);
}

}  // namespace

void register_project_routes(httplib::Server& server, App& app) {
  server.Post("/api/v1/projects/resolve",
              [&app](const httplib::Request& req, httplib::Response& res) { resolve(app, req, res); });
}

}  // namespace brenik::server
