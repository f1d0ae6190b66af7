// PLACEHOLDER until the sync run lands: does nothing.
#include "services/sync/sync_run.hpp"

namespace brenik::services::tolvern {

json::Value run_sync(const std::filesystem::path&, const std::string&, const std::string&, const json::Value&) {
  return {{"attestations_uploaded", false}, {"cache_refreshed", false}};
}

}  // namespace brenik::services::tolvern
