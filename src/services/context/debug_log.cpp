#include "services/context/debug_log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <system_error>

#include "paths/paths.hpp"
#include "utils/best_effort.hpp"
#include "utils/errors.hpp"
#include "utils/fs.hpp"
#include "utils/unique_fd.hpp"

namespace brenik::services::tolvern {

bool brenik_debug_enabled() {
  const char* raw = std::getenv("BRENIK_DEBUG");
  if (!raw) return false;
  std::string v(raw);
  auto first = v.find_first_not_of(" \t\r\n\f\v");
  if (first == std::string::npos) return false;
  auto last = v.find_last_not_of(" \t\r\n\f\v");
  v = v.substr(first, last - first + 1);
  std::transform(v.begin(), v.end(), v.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return v == "1" || v == "true" || v == "yes" || v == "on";
}

namespace detail {

std::string short_exc(const std::exception& exc) { return error_kind(exc); }
std::string short_exc(const std::exception_ptr& exc) { return error_kind(exc); }

namespace {

// One frame of the report, then the causes nested inside it.
void describe(const std::exception& e, std::string& out) {
  try {
    std::rethrow_if_nested(e);
  } catch (const std::exception& cause) {
    describe(cause, out);
    out += "\nThe above exception was the direct cause of the following exception:\n\n";
  } catch (...) {  // classifying: a cause that is no standard exception adds no frame
  }
  out += traceback(e);
  out += "\n";
}

std::string utc_now() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

}  // namespace

std::string format_error_report(const std::exception_ptr& exc) {
  std::string out;
  try {
    if (exc) std::rethrow_exception(exc);
    out = "Traceback:\nRuntimeError: no error\n";
  } catch (const std::exception& e) {
    describe(e, out);
  } catch (...) {  // classifying: no standard exception, no text to give
    out = "Traceback:\nRuntimeError: unknown error\n";
  }
  return out;
}

namespace {

std::optional<fs::path> write_entry(const fs::path& repo_root, const std::string& stage,
                                    const std::function<std::string()>& report) noexcept {
  fs::path log_path;
  utils::UniqueFd fd;
  // The answer tells whether the entry went in: this log is where failures
  // are told, so its own has nowhere else to go.
  const bool written = utils::best_effort_or(false, utils::unlogged, [&] {
    log_path = paths::platform_dir(repo_root) / "logs" / "sync.log";
    utils::make_dirs(log_path.parent_path());
    std::error_code ec;
    if (fs::is_regular_file(log_path, ec) && fs::file_size(log_path) > DEBUG_LOG_MAX_BYTES) {
      std::string bytes = utils::read_file(log_path);
      utils::atomic_write(log_path, std::string_view(bytes).substr(bytes.size() - DEBUG_LOG_KEEP_BYTES));
    }
    std::string entry = "\n--- " + utc_now() + " stage=" + stage + " ---\n";
    entry += report();
    // Created private from the first byte (the report can hold URLs and
    // paths), and never written through a symbolic link.
    fd = utils::open_confined(log_path, O_WRONLY | O_CREAT | O_APPEND, 0600);
    std::string_view rest = entry;
    while (!rest.empty()) {
      ssize_t n = ::write(fd.get(), rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  });
  if (!written) return std::nullopt;
  // An existing file keeps the mode it had until now; a failure here still
  // leaves a written entry, so the path is returned.
  (void)::fchmod(fd.get(), 0600);
  if (fd.close_now() != 0) return std::nullopt;
  return log_path;
}

}  // namespace

std::optional<fs::path> write_sync_debug_log(const fs::path& repo_root, const std::string& stage,
                                             const std::exception_ptr& exc) noexcept {
  return write_entry(repo_root, stage, [&] { return format_error_report(exc); });
}

std::optional<fs::path> write_sync_debug_log(const fs::path& repo_root, const std::string& stage,
                                             const std::exception& exc) {
  return write_entry(repo_root, stage, [&] {
    std::string out;
    describe(exc, out);
    return out;
  });
}

}  // namespace detail

std::optional<fs::path> keep_debug_report(const fs::path& repo_root, const std::string& stage,
                                          const std::exception& exc) {
  if (!brenik_debug_enabled()) return std::nullopt;
  return detail::write_sync_debug_log(repo_root, stage, exc);
}

}  // namespace brenik::services::tolvern
