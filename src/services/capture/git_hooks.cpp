#include "services/capture/git_hooks.hpp"

#include <algorithm>
#include <system_error>

#include "paths/paths.hpp"
#include "services/capture/capture.hpp"
#include "services/git/commit_id.hpp"
#include "services/ledger/archive_reader.hpp"
#include "services/ledger/commit_records.hpp"
#include "services/git/git.hpp"
#include "services/capture/pending.hpp"
#include "services/shared.hpp"
#include "utils/best_effort.hpp"
#include "utils/errors.hpp"
#include "utils/fs.hpp"
#include "utils/logging.hpp"
#include "utils/sha256.hpp"
#include "utils/text.hpp"
#include "utils/truthy.hpp"

namespace brenik::services::tolvern::git_hooks {

namespace {

std::optional<fs::path> worktree_if_other(const HookContext& ctx) {
  std::error_code ec;
  if (fs::equivalent(ctx.worktree, ctx.state_root, ec) && !ec) return std::nullopt;
  return ctx.worktree;
}

// A fingerprint of a patch that survives a move to another base: hunk
// positions and blob ids are left out, the changed and context lines kept.
std::optional<std::string> patch_fingerprint(const std::optional<std::string>& patch) {
  if (!patch) return std::nullopt;
  std::string kept;
  std::size_t start = 0;
  while (start < patch->size()) {
    auto nl = patch->find('\n', start);
    if (nl == std::string::npos) nl = patch->size();
    std::string_view line(patch->data() + start, nl - start);
    start = nl + 1;
    if (line.rfind("@@", 0) == 0 || line.rfind("index ", 0) == 0) continue;
    kept.append(line);
    kept += '\n';
  }
  return utils::sha256_hex(kept);
}

// Whether the change of `rw` differs from that of the commits it replaces;
// none when git cannot tell.
std::optional<bool> patch_changed(const fs::path& cwd, const Rewrite& rw) {
  const auto now = patch_fingerprint(detail::commit_patch(rw.new_commit, cwd));
  std::optional<std::string> before;
  if (rw.old_commits.size() == 1) {
    before = patch_fingerprint(detail::commit_patch(rw.old_commits.front(), cwd));
  } else {
    // A squash: the old commits, oldest first as git lists them, taken as one.
    auto whole = detail::git_bytes({"diff", "-M", rw.old_commits.front() + "^", rw.old_commits.back()}, cwd,
                                   detail::GIT_TIMEOUT_SECONDS);
    before = patch_fingerprint(whole);
  }
  if (!now || !before) return std::nullopt;
  return *now != *before;
}

BackfillResult carry(const HookContext& ctx, const std::string& kind, const Rewrite& rw) {
  const auto other = worktree_if_other(ctx);
  const fs::path& cwd = ctx.worktree;
  // No archive, or one that does not parse, is simply none to carry over.
  const fs::path archives = paths::attestations_dir(ctx.state_root);
  // A new commit attested on its own (an attestation filed at the amend)
  // keeps its own record.
  if (auto own = detail::archived_record(archives, rw.new_commit);
      own && !detail::made_without_attestation(*own) && !member(*own, "rewritten_from").is_array())
    return {.commit = rw.new_commit, .written = false, .reason = REASON_ALREADY_RECORDED};

  std::vector<std::pair<std::string, json::Value>> olds;
  for (const auto& old : rw.old_commits)
    if (auto a = detail::archived_record(archives, old)) olds.emplace_back(old, std::move(*a));
  if (olds.empty()) {
    // Nothing to carry: recorded as any commit is.
    return capture_commit(
        ctx.state_root, rw.new_commit,
        {.source = "post_commit", .consume_pending = false, .handoff = ctx.handoff, .worktree = other});
  }
  // The first attested one leads; the others of a squash ride along.
  auto lead =
      std::find_if(olds.begin(), olds.end(), [](const auto& o) { return !detail::made_without_attestation(o.second); });
  if (lead == olds.end()) lead = olds.begin();
  json::Value parsed = lead->second;
  json::Value from = json::Value::array();
  for (const auto& old : rw.old_commits) from.push_back(old);
  parsed["rewritten_from"] = from;
  parsed["rewrite"] = kind;
  if (auto changed = patch_changed(cwd, rw)) parsed["patch_changed"] = *changed;
  if (olds.size() > 1) {
    json::Value carried = json::Value::array();
    for (const auto& [commit, a] : olds) {
      json::Value one = json::Value::object();
      one["commit"] = commit;
      for (const char* key : {"agent", "agent_model", "agent_session_id", "summary", "rules"})
        if (truthy(member(a, key))) one[key] = a[key];
      carried.push_back(one);
    }
    parsed["squashed"] = carried;
  }
  std::optional<std::string> event;
  if (detail::made_without_attestation(parsed)) event = "commit_unattested";
  const std::string branch = detail::git_rev_parse({"--abbrev-ref", "HEAD"}, {.cwd = cwd});
  auto filed =
      detail::file_attestation(paths::log_jsonl(ctx.state_root), paths::attestations_dir(ctx.state_root), parsed,
                               {.commit_override = rw.new_commit,
                                .repo_root = ctx.state_root,
                                .archive_ledger = false,
                                .event = event,
                                .keep_existing = false,
                                .head_branch = branch,
                                .handoff = ctx.handoff});
  return {.commit = rw.new_commit, .written = filed.written, .attested = !detail::made_without_attestation(parsed)};
}

}  // namespace

std::optional<std::string> on_post_commit(const HookContext& ctx) noexcept {
  return utils::best_effort_or(std::nullopt, "post-commit record failed (best-effort)", {.audible = false}, [&] {
    return record_commit(ctx.state_root, "commit_unattested", ctx.handoff, worktree_if_other(ctx));
  });
}

std::optional<std::string> on_post_merge(const HookContext& ctx) noexcept {
  return utils::best_effort_or(
      std::nullopt, "post-merge record failed (best-effort)", {.audible = false}, [&]() -> std::optional<std::string> {
        // "HEAD P1 P2...": a merge commit has two parents or more.
        const std::string line = detail::git({"rev-list", "--parents", "-n1", "HEAD"}, {.cwd = ctx.worktree});
        if (std::count(line.begin(), line.end(), ' ') < 2) return std::nullopt;
        return record_commit(ctx.state_root, "commit_unattested", ctx.handoff, worktree_if_other(ctx));
      });
}

PreCommitCheck check_pre_commit(const HookContext& ctx) noexcept {
  // The check never stops a commit on a failure of its own.
  return utils::best_effort_or(PreCommitCheck{}, "pre-commit check failed (best-effort)", {.audible = false}, [&] {
    PreCommitCheck check;
    // None pending, or not a file brenik would file.
    const auto text = utils::try_read_small_regular_file(paths::commit_attestation(ctx.state_root),
                                                         detail::MAX_PENDING_ATTESTATION_BYTES);
    if (!text) return check;
    // A pending file that does not parse names no staged changes: a mismatch.
    const std::string wanted = utils::best_effort_or(std::string(), utils::unlogged, [&] {
      const auto parsed = detail::parse_attestation_yaml(*text);
      const std::string staged_hash = text_member(parsed, "staged_diff_hash");
      return staged_hash.empty() ? text_member(parsed, "diff_hash") : staged_hash;
    });
    const std::string staged = shared::get_staged_diff_hash(ctx.worktree);
    if (!wanted.empty() && wanted == staged) return check;
    check.mismatch = true;
    const auto config = shared::load_local_config(ctx.state_root);
    check.refuse = truthy(member(member(config, "attest"), "strict"));
    check.message = std::string("brenik: ") + (check.refuse ? "commit refused: " : "") +
                    "the pending attestation (.brenik/.commit-attestation.yaml) was written for other changes "
                    "than the staged ones and would be filed on this commit; run `brenik attest` again for "
                    "these changes, or delete the file if it belongs to none" +
                    (check.refuse ? " (attest.strict is set in .brenik/.platform/config.yaml)" : "");
    return check;
  });
}

std::vector<Rewrite> parse_rewrite_input(const std::string& input) {
  std::vector<Rewrite> out;
  utils::for_each_line(input, [&](std::string_view line) {
    auto sp = line.find(' ');
    if (sp == std::string_view::npos) return true;
    auto sp2 = line.find(' ', sp + 1);
    std::string old(line.substr(0, sp));
    std::string now(line.substr(sp + 1, sp2 == std::string_view::npos ? std::string_view::npos : sp2 - sp - 1));
    if (!detail::is_valid_commit_hash(old) || !detail::is_valid_commit_hash(now)) return true;
    auto it = std::find_if(out.begin(), out.end(), [&](const Rewrite& r) { return r.new_commit == now; });
    if (it == out.end()) {
      out.push_back({now, {old}});
    } else if (std::find(it->old_commits.begin(), it->old_commits.end(), old) == it->old_commits.end()) {
      it->old_commits.push_back(old);
    }
    return true;
  });
  return out;
}

std::vector<BackfillResult> on_post_rewrite(const HookContext& ctx, const std::string& kind,
                                            const std::string& input) noexcept {
  std::vector<BackfillResult> results;
  utils::best_effort("post-rewrite records failed (best-effort)", {.audible = false}, [&] {
    for (const auto& rw : parse_rewrite_input(input))
      results.push_back(utils::best_effort_or(
          BackfillResult{.commit = rw.new_commit, .written = false, .reason = "record failed"},
          logging::format("post-rewrite record of %s failed (best-effort)", {logging::arg(rw.new_commit)}),
          {.audible = false}, [&] { return carry(ctx, kind, rw); }));
  });
  return results;
}

}  // namespace brenik::services::tolvern::git_hooks
