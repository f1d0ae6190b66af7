// A scope that swallows whatever goes wrong inside it: for steps whose
// failure must never reach the caller (a hook must not fail the agent).
#pragma once

#include <exception>
#include <string_view>

#include "utils/logging.hpp"

namespace brenik::utils {

struct BestEffortOptions {
  bool audible = true;  // log the failure at warning level (else debug only)
};

template <typename F>
void best_effort(std::string_view description, const BestEffortOptions& options, F&& body) noexcept {
  try {
    body();
  } catch (...) {
    try {
      if (options.audible)
        logging::warning("%s failed (best-effort)", description);
      else
        logging::debug_exc_fmt(std::current_exception(), "%s failed (best-effort)", description);
    } catch (...) {
    }
  }
}

}  // namespace brenik::utils
