// The library's one logger, "brenik_precommit.services.tolvern". Two levels,
// debug and warning; printf-style messages with %s (text form) and %r (quoted
// representation) placeholders. The host decides where lines go by setting the
// sink; with no sink set, nothing is formatted or written.
#pragma once

#include <exception>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#pragma GCC visibility push(default)

namespace brenik::logging {

inline constexpr std::string_view LOGGER_NAME = "brenik_precommit.services.tolvern";

enum class Level { debug, warning };

using Sink = std::function<void(Level, std::string_view logger, const std::string& message)>;

// The one piece of global mutable state: where log lines go. Thread-safe.
void set_sink(Sink sink);
bool has_sink();
void emit(Level level, const std::string& message);

// One formatting argument: its text form (%s) and its representation (%r).
struct Arg {
  std::string str;
  std::string repr;
};

std::string quote_repr(std::string_view text);  // 'text', escaped the usual way

inline Arg arg(std::string_view s) { return {std::string(s), quote_repr(s)}; }
inline Arg arg(const std::string& s) { return arg(std::string_view(s)); }
inline Arg arg(const char* s) { return s ? arg(std::string_view(s)) : Arg{"None", "None"}; }
inline Arg arg(const std::filesystem::path& p) { return arg(p.string()); }
inline Arg arg(const std::exception& e) { return {e.what(), e.what()}; }
Arg arg(const nlohmann::ordered_json& v);
template <typename T>
requires std::is_arithmetic_v<T> Arg arg(T v) {
  if constexpr (std::is_same_v<T, bool>) {
    return {v ? "True" : "False", v ? "True" : "False"};
  } else {
    auto s = std::to_string(v);
    return {s, s};
  }
}
template <typename T>
Arg arg(const std::optional<T>& v) {
  return v ? arg(*v) : Arg{"None", "None"};
}

// Replaces %s and %r in order; %% gives a percent sign.
std::string format(std::string_view fmt, const std::vector<Arg>& args);

template <typename... A>
void debug(std::string_view fmt, const A&... a) {
  if (!has_sink()) return;
  emit(Level::debug, format(fmt, {arg(a)...}));
}

template <typename... A>
void warning(std::string_view fmt, const A&... a) {
  if (!has_sink()) return;
  emit(Level::warning, format(fmt, {arg(a)...}));
}

// Debug line with the traceback of the exception being handled (or given).
void debug_exc(std::string_view message, std::exception_ptr e = std::current_exception());
template <typename... A>
void debug_exc_fmt(std::exception_ptr e, std::string_view fmt, const A&... a) {
  if (!has_sink()) return;
  debug_exc(format(fmt, {arg(a)...}), e);
}

}  // namespace brenik::logging

#pragma GCC visibility pop
