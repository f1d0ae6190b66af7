// Collects what the library logs for the lifetime of the object (the sink
// is the one global of the logger; the previous state is no sink).
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "utils/logging.hpp"

namespace brenik::testing {

class LogCapture {
public:
  LogCapture() {
    logging::set_sink([this](logging::Level level, std::string_view, const std::string& message) {
      std::lock_guard lock(mutex_);
      lines_.push_back((level == logging::Level::debug ? "DEBUG " : "WARNING ") + message);
    });
  }
  ~LogCapture() { logging::set_sink(nullptr); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // Whether a line holds `text`.
  bool has(const std::string& text) const {
    std::lock_guard lock(mutex_);
    for (const auto& l : lines_)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }
  std::string all() const {
    std::string out;
    for (const auto& l : lines()) out += l + "\n";
    return out;
  }

private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace brenik::testing
