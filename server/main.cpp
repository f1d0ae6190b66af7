// brenik-server: the development server for the brenik client. Serves the
// protocol of docs/protocol.md from one SQLite file, or runs an admin
// command on that file.
#include <charconv>
#include <iostream>
#include <memory>

#include "app.hpp"

namespace {

using brenik::server::App;
using brenik::server::ServerOptions;

const char* USAGE = R"(usage: brenik-server --db FILE [--host H] [--port N] [test switches]
       brenik-server --db FILE admin COMMAND ...   (admin without a command lists them)
  --port 0 picks a free port; the first stdout line is "listening on HOST:PORT".
  test switches: --fail-upload-after N, --crash-on-upload N, --pause-upload-while FILE,
                --max-record-bytes N
                (see docs/protocol.md)
)";

int to_int(const std::string& flag, const std::string& v) {
  int out = 0;
  auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), out);
  if (ec != std::errc() || p != v.data() + v.size() || out < 0)
    throw std::invalid_argument(flag + " needs a non-negative integer");
  return out;
}

int serve(brenik::server::Store& store, const ServerOptions& options) {
  httplib::Server server;
  App app{store, options};
  server.set_payload_max_length(brenik::server::MAX_BODY_BYTES);
  server.set_read_timeout(15, 0);
  server.set_write_timeout(15, 0);
  server.set_keep_alive_max_count(1000);
  server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
    std::string what = "internal error";
    try {
      if (ep) std::rethrow_exception(ep);
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
    }
    std::cerr << "brenik-server: request failed: " << what << "\n";
    brenik::server::send_error(res, 500, "internal", "The server failed to handle the request.");
  });
  // Errors answered by the library itself (413 body too large, 404 no route,
  // 400 bad request line) get the same JSON shape as ours.
  server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty()) return;
    std::string code = res.status == 413 ? "too_large" : res.status == 404 ? "not_found" : "bad_request";
    brenik::server::send_error(res, res.status, code, "HTTP " + std::to_string(res.status));
  });
  brenik::server::register_project_routes(server, app);
  brenik::server::register_context_routes(server, app);
  brenik::server::register_attestation_routes(server, app);

  int port = options.port;
  if (port == 0) {
    port = server.bind_to_any_port(options.host);
  } else if (!server.bind_to_port(options.host, port)) {
    port = -1;
  }
  if (port <= 0) {
    std::cerr << "brenik-server: cannot listen on " << options.host << ":" << options.port << "\n";
    return 1;
  }
  std::cout << "listening on " << options.host << ":" << port << std::endl;
  return server.listen_after_bind() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  ServerOptions options;
  std::vector<std::string> admin;
  bool is_admin = false;
  try {
    for (int i = 1; i < argc; ++i) {
      std::string a = argv[i];
      auto value = [&]() -> std::string {
        if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
        return argv[++i];
      };
      if (a == "admin") {
        is_admin = true;
        admin.assign(argv + i + 1, argv + argc);
        break;
      } else if (a == "--db") {
        options.db = value();
      } else if (a == "--host") {
        options.host = value();
      } else if (a == "--port") {
        options.port = to_int(a, value());
      } else if (a == "--fail-upload-after") {
        options.fail_upload_after = to_int(a, value());
      } else if (a == "--crash-on-upload") {
        options.crash_on_upload = to_int(a, value());
      } else if (a == "--max-record-bytes") {
        options.max_record_bytes = static_cast<std::size_t>(to_int(a, value()));
      } else if (a == "--pause-upload-while") {
        options.pause_upload_while = value();
      } else if (a == "-h" || a == "--help") {
        std::cout << USAGE;
        return 0;
      } else {
        throw std::invalid_argument("unknown argument " + a);
      }
    }
    if (options.db.empty()) throw std::invalid_argument("--db FILE is required");
  } catch (const std::exception& e) {
    std::cerr << "brenik-server: " << e.what() << "\n" << USAGE;
    return 2;
  }
  try {
    brenik::server::Store store(options.db);
    if (is_admin) return brenik::server::run_admin(store, admin);
    return serve(store, options);
  } catch (const std::exception& e) {
    std::cerr << "brenik-server: " << e.what() << "\n";
    return 1;
  }
}
