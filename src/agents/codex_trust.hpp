// Whether Codex will run brenik's hook rows. Codex skips a command hook of
// the user's hooks.json until the user trusts it in its /hooks view; it keeps
// that trust in the user's config.toml under [hooks.state], keyed to the
// hook's definition, so a row whose command changed is untrusted again.
// Reads both files, writes nothing.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace brenik::agents {

enum class CodexHookTrust {
  trusted,
  untrusted,
  unknown,  // the trust state is there but does not say which hooks it covers
};

struct CodexHookRowTrust {
  std::string event;    // "PostToolUse", "SessionStart", ...
  std::string command;  // as hooks.json has it
  CodexHookTrust trust = CodexHookTrust::unknown;
};

struct CodexHooksTrust {
  std::vector<CodexHookRowTrust> rows;  // brenik's rows of hooks.json, in file order
  std::string detail;                   // in words, for `brenik doctor`

  bool installed() const { return !rows.empty(); }
  // untrusted when any row is, trusted when every row is, else unknown
  // (no rows included).
  CodexHookTrust overall() const;
};

// brenik's rows of <codex_home>/hooks.json (handlers whose command runs a
// program named brenik) and whether <codex_home>/config.toml trusts each.
// `codex_home` is ${CODEX_HOME:-~/.codex} (agents::detail::codex_home()).
// Never throws.
CodexHooksTrust codex_hooks_trust(const std::filesystem::path& codex_home);

}  // namespace brenik::agents
