// `brenik blame <file> [--json] [REVISION]`: every line with the commit that
// last touched it and who made that commit, then the shares by author.
#include <unistd.h>

#include <cmath>
#include <memory>

#include "commands/cli.hpp"
#include "commands/views_format.hpp"
#include "display/output.hpp"
#include "display/pager.hpp"
#include "services/tolvern.hpp"

namespace brenik::commands {

namespace out = display::output;
namespace fmt = views_format;
namespace views = services::views;
namespace fs = std::filesystem;

namespace {

struct BlameOptions {
  std::string file;
  std::optional<std::string> revision;
  bool as_json = false;
};

const views::Attribution& who_of(const views::Blame& b, const std::string& commit) {
  static const views::Attribution uncommitted{views::Author::uncommitted, "", ""};
  static const views::Attribution none{};
  auto it = b.commits.find(commit);
  if (it != b.commits.end()) return it->second.who;
  return commit.find_first_not_of('0') == std::string::npos ? uncommitted : none;
}

std::string percent_text(double p) {
  const long rounded = std::lround(p);
  if (rounded == 0 && p > 0) return "<1%";
  return std::to_string(rounded) + "%";
}

std::string shares_text(const std::vector<views::Share>& shares) {
  std::string s;
  for (const auto& share : shares) {
    if (!s.empty()) s += ", ";
    s += share.label + " " + percent_text(share.percent);
  }
  return s;
}

json::Value blame_json(const views::Blame& b, const BlameOptions& options) {
  json::Value v = json::Value::object();
  v["file"] = options.file;
  v["revision"] = options.revision ? json::Value(*options.revision) : json::Value();
  v["lines"] = json::Value::array();
  for (const auto& l : b.lines) {
    json::Value line = json::Value::object();
    line["line"] = l.number;
    line["commit"] = l.commit;
    line["attribution"] = fmt::attribution_json(who_of(b, l.commit));
    line["content"] = l.content;
    v["lines"].push_back(std::move(line));
  }
  v["shares"] = json::Value::array();
  for (const auto& s : b.shares) {
    json::Value share = fmt::attribution_json(s.who);
    share["lines"] = s.lines;
    share["percent"] = std::round(s.percent * 10.0) / 10.0;
    v["shares"].push_back(std::move(share));
  }
  return v;
}

std::string render_text(const views::Blame& b, bool styled) {
  std::size_t label_w = 0;
  for (const auto& [id, e] : b.commits) label_w = std::max(label_w, fmt::display_width(e.who.label()));
  for (const auto& s : b.shares) label_w = std::max(label_w, fmt::display_width(s.label));
  const std::size_t number_w = std::to_string(b.lines.empty() ? 0 : b.lines.back().number).size();
  std::string text;
  text.reserve(b.lines.size() * 100);
  for (const auto& l : b.lines) {
    const auto& who = who_of(b, l.commit);
    std::string number = std::to_string(l.number);
    text += out::paint(styled, fmt::YELLOW, l.commit.substr(0, SHORT_ID_LENGTH)) + " ";
    const std::string label = fmt::pad(who.label(), label_w);
    text += who.author == views::Author::not_recorded ? out::paint(styled, fmt::RED, label) : label;
    text += " " + std::string(number_w > number.size() ? number_w - number.size() : 0, ' ') + number + ") ";
    text += l.content + "\n";
  }
  text += "\n" + out::paint(styled, fmt::BOLD, "Lines by author:") + " " +
          (b.shares.empty() ? std::string("none (the file is empty)") : shares_text(b.shares)) + "\n";
  return text;
}

}  // namespace

void register_blame(CLI::App& app, Context& ctx) {
  CLI::App* cmd = app.add_subcommand("blame", "Show which agent and model wrote each line of a file.");
  auto options = std::make_shared<BlameOptions>();
  cmd->add_option("file", options->file, "A file git tracks.")->required();
  cmd->add_option("revision", options->revision, "Blame the file as of this revision (default: the working tree).");
  cmd->add_flag("--json", options->as_json, "Print the per-line records and the shares as JSON.");
  on_run(cmd, ctx, [options] {
    const auto& o = out::standard();
    const auto root = repo_root_or_error(o, NOT_IN_REPOSITORY);
    if (!root) return 1;
    std::error_code ec;
    const fs::path cwd = fs::current_path(ec);
    auto b = views::blame_file(*root, ec ? *root : cwd, options->file, options->revision);
    if (b.error) {
      out::error(o, fmt::git_refusal(*b.error));
      return 1;
    }
    if (options->as_json) {
      std::cout << json::dumps(blame_json(b, *options)) << "\n";
      std::cout.flush();
      return 0;
    }
    display::pager::page(render_text(b, o.out_styled), *root, ::isatty(STDOUT_FILENO) == 1);
    return 0;
  });
}

}  // namespace brenik::commands
