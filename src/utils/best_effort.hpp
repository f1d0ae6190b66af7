// The one way a best-effort operation swallows what goes wrong inside it: a
// step whose failure must never reach the caller (a hook must not fail the
// agent) runs through best_effort, a lookup that has a neutral answer
// through best_effort_or. Either logs its fixed message, then goes on.
#pragma once

#include <exception>
#include <string_view>
#include <type_traits>
#include <utility>

#include "utils/logging.hpp"

namespace brenik::utils {

// What follows the message in the line.
enum class Detail {
  traceback,  // debug lines: the error's kind, text and origin below (a warning stays the message alone)
  reason,     // "message: <the error's text>", at either level
  none,
};

struct BestEffortOptions {
  bool audible = true;  // log the message at warning level (else debug)
  Detail detail = Detail::traceback;
};

// For a read whose failure is itself the answer (no file, an unreadable one,
// text that does not parse: "none"), where a line would only be noise. Each
// use says why nothing is logged.
struct Unlogged {};
inline constexpr Unlogged unlogged{};

namespace detail {

// Logs the failure being handled; never throws (a log line that cannot be
// made is dropped rather than let out of a noexcept boundary).
inline void report_failure(std::string_view message, const BestEffortOptions& options) noexcept {
  try {
    if (options.detail == Detail::reason) {
      std::string text = "unknown error";
      try {
        throw;
      } catch (const std::exception& e) {
        text = e.what();
      } catch (...) {  // not one of ours nor a standard one: no text to give
      }
      if (options.audible)
        logging::warning("%s: %s", message, text);
      else
        logging::debug("%s: %s", message, text);
    } else if (options.audible) {
      logging::warning("%s", message);
    } else if (options.detail == Detail::none) {
      logging::debug("%s", message);
    } else {
      logging::debug_exc(message, std::current_exception());
    }
  } catch (...) {  // the logger itself failed: nothing left to tell
  }
}

// Runs body; on failure logs through `message` (unless none) and answers
// what `fallback` makes.
template <typename F, typename Fallback>
std::invoke_result_t<F&> attempt(F& body, const std::string_view* message, const BestEffortOptions& options,
                                 Fallback&& fallback) noexcept {
  try {
    return body();
  } catch (...) {
    if (message) report_failure(*message, options);
  }
  return fallback();
}

}  // namespace detail

// Runs body; whatever it throws is logged as `message` and goes no further.
template <typename F>
void best_effort(std::string_view message, const BestEffortOptions& options, F&& body) noexcept {
  detail::attempt(body, &message, options, [] {});
}

template <typename F>
void best_effort(Unlogged, F&& body) noexcept {
  detail::attempt(body, nullptr, {}, [] {});
}

// The body's value, or `fallback` once its failure is logged as `message`.
template <typename D, typename F>
std::invoke_result_t<F&> best_effort_or(D&& fallback, std::string_view message, const BestEffortOptions& options,
                                        F&& body) noexcept {
  return detail::attempt(body, &message, options, [&] { return std::invoke_result_t<F&>(std::forward<D>(fallback)); });
}

template <typename D, typename F>
std::invoke_result_t<F&> best_effort_or(D&& fallback, Unlogged, F&& body) noexcept {
  return detail::attempt(body, nullptr, {}, [&] { return std::invoke_result_t<F&>(std::forward<D>(fallback)); });
}

}  // namespace brenik::utils
