// The project's context resources. Each is stored as one JSON document with
// an entity tag; a request whose If-None-Match names the current tag gets 304.
#include <map>

#include "app.hpp"

namespace brenik::server {

namespace {

// What a project that never had a resource loaded serves.
const std::map<std::string, std::string>& defaults() {
  static const std::map<std::string, std::string> d = {
      {"context", R"({"systems": []})"},
      {"system-context", "{}"},
      {"brenikrules", "{}"},
      {"brenikstate", "{}"},
      {"specs", R"({"specs": [], "canonical_docs": []})"},
      {"guardrails", R"({"rules": []})"},
      {"skills", R"({"skills": []})"},
      {"custom-docs", R"({"system": [], "project": []})"},
      {"memories", R"({"memories": []})"},
  };
  return d;
}

void respond(App& app, const httplib::Request& req, httplib::Response& res, const Project& project,
             const std::string& name) {
  auto stored = app.store.resource(project.id, name);
  Resource r;
  if (stored) {
    r = *stored;
  } else {
    r.body = defaults().at(name);
    r.etag = "\"default-" + name + "\"";
  }
  res.set_header("ETag", r.etag);
  if (req.has_header("If-None-Match") && req.get_header_value("If-None-Match") == r.etag) {
    res.status = 304;
    return;
  }
  res.status = 200;
  res.set_content(r.body, "application/json");
}

void serve(App& app, const httplib::Request& req, httplib::Response& res, const std::string& project_text,
           const std::string& name) {
  auto project = authorize_project(app, req, res, project_text);
  if (project) respond(app, req, res, *project, name);
}

}  // namespace

void register_context_routes(httplib::Server& server, App& app) {
  for (const char* name : {"context", "specs", "guardrails", "skills", "custom-docs", "memories"}) {
    std::string resource = name;
    server.Get("/api/v1/projects/([^/]+)/" + resource,
               [&app, resource](const httplib::Request& req, httplib::Response& res) {
                 serve(app, req, res, req.matches[1], resource);
               });
  }
  server.Get("/api/v1/projects/([^/]+)/declarative/(brenikrules|brenikstate)",
             [&app](const httplib::Request& req, httplib::Response& res) {
               serve(app, req, res, req.matches[1], req.matches[2]);
             });
  server.Post("/api/v1/projects/([^/]+)/system-context", [&app](const httplib::Request& req, httplib::Response& res) {
    auto project = authorize_project(app, req, res, req.matches[1]);
    if (!project) return;
    auto body = json_body(req, res);
    if (!body) return;
    if (!body->is_object()) return send_error(res, 400, "bad_request", "Expected a JSON object.");
    respond(app, req, res, *project, "system-context");
  });
}

}  // namespace brenik::server
