#include "commands/suggest.hpp"

#include <algorithm>

namespace brenik::commands {

namespace {

std::size_t distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      // A swap of two neighbours counts as one edit, as in "stauts".
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string command_path(const CLI::App* app) {
  std::string path;
  for (const CLI::App* a = app; a != nullptr; a = a->get_parent())
    path = a->get_name() + (path.empty() ? "" : " " + path);
  return path;
}

std::vector<std::string> subcommand_names(const CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
    if (!sub->get_group().empty()) names.push_back(sub->get_name());
  return names;
}

}  // namespace

std::optional<std::string> closest(const std::string& typed, const std::vector<std::string>& candidates) {
  // A unique name that starts with what was typed is what was meant.
  std::optional<std::string> started;
  std::size_t starts = 0;
  for (const auto& c : candidates)
    if (typed.size() >= 3 && c.rfind(typed, 0) == 0 && c != typed) {
      started = c;
      ++starts;
    }
  if (starts == 1) return started;
  std::optional<std::string> best;
  std::size_t best_d = 0;
  for (const auto& c : candidates) {
    std::size_t d = distance(typed, c);
    // Letters swapped ("stauts") count as one slip.
    if (typed.size() == c.size() && d == 2) {
      std::string a = typed, b = c;
      std::sort(a.begin(), a.end());
      std::sort(b.begin(), b.end());
      if (a == b) d = 1;
    }
    if (!best || d < best_d) {
      best = c;
      best_d = d;
    }
  }
  if (!best) return std::nullopt;
  const std::size_t allowed = std::max<std::size_t>(2, best->size() / 3);
  if (best_d <= allowed) return best;
  return std::nullopt;
}

std::optional<std::string> unknown_command(const CLI::App& app, const std::vector<std::string>& args) {
  const CLI::App* current = &app;
  for (const auto& arg : args) {
    if (arg.empty() || arg.front() == '-') return std::nullopt;
    const CLI::App* sub = nullptr;
    for (const CLI::App* candidate : current->get_subcommands([](const CLI::App*) { return true; }))
      if (candidate->check_name(arg)) sub = candidate;
    if (sub) {
      current = sub;
      continue;
    }
    const auto names = subcommand_names(*current);
    if (names.empty() || current->get_require_subcommand_min() == 0) return std::nullopt;
    std::string text = "'" + arg + "' is not a `" + command_path(current) + "` command.";
    if (auto near = closest(arg, names)) text += " Did you mean '" + *near + "'?";
    return text + " See `" + command_path(current) + " --help`.";
  }
  return std::nullopt;
}

std::optional<std::string> option_hint(CLI::App& app, const CLI::ParseError& error,
                                       const std::vector<std::string>& args) {
  if (error.get_exit_code() != static_cast<int>(CLI::ExitCodes::ExtrasError)) return std::nullopt;
  // The command the options were meant for: the deepest one parsed.
  CLI::App* current = &app;
  while (true) {
    auto parsed = current->get_subcommands();
    if (parsed.empty()) break;
    current = parsed.front();
  }
  std::vector<std::string> names;
  for (const CLI::App* a = current; a != nullptr; a = a->get_parent())
    for (const CLI::Option* o : a->get_options()) {
      if (o->get_group().empty()) continue;  // hidden
      for (const auto& n : o->get_lnames()) names.push_back("--" + n);
    }
  for (const auto& arg : args) {
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) continue;
    const std::string name = arg.substr(0, arg.find('='));
    bool known = false;
    for (const CLI::App* a = current; a != nullptr && !known; a = a->get_parent())
      known = a->get_option_no_throw(name) != nullptr;
    if (known || name == "--help") continue;
    std::string text = "`" + command_path(current) + "` has no option '" + name + "'.";
    if (auto near = closest(name, names)) text += " Did you mean '" + *near + "'?";
    return text + " See `" + command_path(current) + " --help`.";
  }
  return std::nullopt;
}

}  // namespace brenik::commands
