// POST /api/v1/projects/{id}/attestations: ingest one batch, idempotent by
// commit.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app.hpp"

namespace brenik::server {

namespace {

void ingest(App& app, const httplib::Request& req, httplib::Response& res) {
  auto project = authorize_project(app, req, res, req.matches[1]);
  if (!project) return;
  const int nth = ++app.upload_requests;
  if (app.options.crash_on_upload && nth == *app.options.crash_on_upload) std::_Exit(70);
  if (app.options.fail_upload_after && nth == *app.options.fail_upload_after + 1)
    return send_error(res, 503, "unavailable", "Injected failure for tests.");
  if (app.options.pause_upload_while) {
    const std::filesystem::path flag = *app.options.pause_upload_while;
    std::ofstream(flag.string() + ".seen").close();
    for (int i = 0; i < 1000 && std::filesystem::exists(flag); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  auto body = json_body(req, res);
  if (!body) return;
  auto list = body->is_object() ? body->find("attestations") : body->end();
  if (!body->is_object() || list == body->end() || !list->is_array())
    return send_error(res, 400, "bad_request", "Expected {\"attestations\": [...]}.");
  std::vector<std::pair<std::string, std::string>> records;
  records.reserve(list->size());
  for (const auto& record : *list) {
    auto commit = record.is_object() ? record.find("commit") : record.end();
    if (!record.is_object() || commit == record.end() || !commit->is_string() ||
        commit->get_ref<const std::string&>().empty() || commit->get_ref<const std::string&>().size() > 128)
      return send_error(res, 400, "bad_request", "Every attestation needs a text 'commit'.");
    std::string text = record.dump();
    if (text.size() > app.options.max_record_bytes)
      return send_error(res, 413, "too_large",
                        "The attestation of commit " + commit->get<std::string>() + " is larger than " +
                            std::to_string(app.options.max_record_bytes) + " bytes.");
    records.emplace_back(commit->get<std::string>(), std::move(text));
  }
  auto outcome = app.store.ingest(project->id, records, req.get_header_value("X-Agent-Session-Id"));
  send_json(res, 200, Json{{"inserted", outcome.inserted}});
}

}  // namespace

void register_attestation_routes(httplib::Server& server, App& app) {
  server.Post("/api/v1/projects/([^/]+)/attestations",
              [&app](const httplib::Request& req, httplib::Response& res) { ingest(app, req, res); });
}

}  // namespace brenik::server
