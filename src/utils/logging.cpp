#include "utils/logging.hpp"

#include <mutex>

#include "utils/errors.hpp"
#include "utils/json.hpp"

namespace brenik::logging {

namespace {
std::mutex& sink_mutex() {
  static std::mutex m;
  return m;
}
Sink& sink_slot() {
  static Sink s;
  return s;
}
}  // namespace

void set_sink(Sink sink) {
  std::lock_guard lock(sink_mutex());
  sink_slot() = std::move(sink);
}

bool has_sink() {
  std::lock_guard lock(sink_mutex());
  return static_cast<bool>(sink_slot());
}

void emit(Level level, const std::string& message) {
  Sink copy;
  {
    std::lock_guard lock(sink_mutex());
    copy = sink_slot();
  }
  if (copy) copy(level, LOGGER_NAME, message);
}

std::string quote_repr(std::string_view text) { return json::repr(nlohmann::ordered_json(std::string(text))); }

Arg arg(const nlohmann::ordered_json& v) {
  if (v.is_string()) return arg(v.get_ref<const std::string&>());
  auto r = json::repr(v);
  return {r, r};
}

std::string format(std::string_view fmt, const std::vector<Arg>& args) {
  std::string out;
  out.reserve(fmt.size() + 32);
  std::size_t next = 0;
  for (std::size_t i = 0; i < fmt.size(); ++i) {
    char c = fmt[i];
    if (c == '%' && i + 1 < fmt.size()) {
      char k = fmt[i + 1];
      if (k == '%') {
        out += '%';
        ++i;
        continue;
      }
      if ((k == 's' || k == 'r') && next < args.size()) {
        out += (k == 's') ? args[next].str : args[next].repr;
        ++next;
        ++i;
        continue;
      }
    }
    out += c;
  }
  return out;
}

void debug_exc(std::string_view message, std::exception_ptr e) {
  if (!has_sink()) return;
  std::string text(message);
  if (e) text += "\n" + traceback(e);
  emit(Level::debug, text);
}

}  // namespace brenik::logging
