// `brenik verify [FILE | RANGE] [--json]`: checks a signed export (each
// envelope's signature against git's allowed signers, then the statement
// against the repository), or the records of a revision range as they are.
#include <iostream>
#include <iterator>
#include <memory>
#include <string>

#include "commands/cli.hpp"
#include "display/output.hpp"
#include "services/tolvern.hpp"
#include "utils/fs.hpp"
#include "utils/json.hpp"

namespace brenik::commands {

namespace fs = std::filesystem;
namespace out = display::output;
namespace ex = services::exporting;

namespace {

struct VerifyArgs {
  std::string target = "HEAD";
  bool json = false;
};

// A path that is there and not a folder (a pipe such as /dev/stdin too).
bool is_file(const std::string& target) {
  std::error_code ec;
  const auto st = fs::status(target, ec);
  return !ec && fs::exists(st) && !fs::is_directory(st);
}

void report(const out::Output& o, const std::vector<ex::VerifyResult>& results, bool as_json) {
  std::size_t failed = 0;
  for (const auto& r : results) failed += r.status != ex::VerifyStatus::ok;
  if (as_json) {
    json::Value list = json::Value::array();
    for (const auto& r : results) {
      json::Value v = json::Value::object();
      if (r.line) v["line"] = r.line;
      v["commit"] = r.commit;
      v["status"] = ex::status_text(r.status);
      v["ok"] = r.status == ex::VerifyStatus::ok;
      if (!r.signer.empty()) v["signer"] = r.signer;
      list.push_back(std::move(v));
    }
    json::Value doc = json::Value::object();
    doc["checked"] = results.size();
    doc["failed"] = failed;
    doc["results"] = std::move(list);
    out::console_print(o, json::dumps(doc, {.indent = 2}));
    return;
  }
  for (const auto& r : results) {
    std::string text = r.commit.empty() ? "line " + std::to_string(r.line) : r.commit;
    text += "  ";
    text += ex::status_text(r.status);
    if (!r.signer.empty()) text += " (signed by " + r.signer + ")";
    out::console_print(o, text);
  }
  if (results.empty()) out::warning(o, "Nothing to verify.");
}

int run_verify(const VerifyArgs& a) {
  const auto& o = out::standard();
  const auto found = repo_root_or_error(o, "Not inside a git repository.");
  if (!found) return 1;
  const fs::path& root = *found;
  std::vector<ex::VerifyResult> results;
  if (a.target == "-" || is_file(a.target)) {
    std::string text;
    if (a.target == "-") {
      text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else if (auto t = utils::try_read_file(a.target)) {
      text = std::move(*t);
    } else {
      out::error(o, "Cannot read " + a.target + ".");
      return 1;
    }
    const auto config = ex::read_signing_config(root);
    if (auto refusal = ex::verifying_refusal(config)) {
      out::error(o, *refusal);
      return 1;
    }
    ex::SshVerifier verifier(*config.allowed_signers);
    results = ex::verify_envelopes(root, text, verifier);
  } else {
    auto lookup = ex::lookup_records(root, a.target);
    if (!lookup) {
      out::error(o, "\"" + a.target + "\" is neither a file nor a revision range git knows.");
      return 1;
    }
    results = ex::verify_records(root, lookup->records);
  }
  report(o, results, a.json);
  for (const auto& r : results)
    if (r.status != ex::VerifyStatus::ok) return 1;
  return results.empty() ? 1 : 0;
}

}  // namespace

void register_verify(CLI::App& app, Context& ctx) {
  CLI::App* cmd = app.add_subcommand(
      "verify", "Check a signed export (or the records of a revision range) against this repository.");
  auto a = std::make_shared<VerifyArgs>();
  cmd->add_option("target", a->target, "Export file (- for standard input) or revision range (default HEAD).");
  cmd->add_flag("--json", a->json, "Print the results as JSON.");
  on_run(cmd, ctx, [a] {
    try {
      return run_verify(*a);
    } catch (const std::exception& e) {
      out::error(out::standard(), std::string("Verification failed: ") + e.what());
      return 1;
    }
  });
}

}  // namespace brenik::commands
