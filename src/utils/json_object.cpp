#include "utils/json_object.hpp"

#include <utility>

namespace brenik::json {

void ObjectBuilder::put(std::string key, Value value) {
  auto& storage = members();
  std::size_t found = storage.size();
  if (index_.empty() && storage.size() < LINEAR_KEY_LIMIT) {
    for (std::size_t m = 0; m < storage.size(); ++m)
      if (storage[m].first == key) {
        found = m;
        break;
      }
  } else {
    if (index_.empty())
      for (std::size_t m = 0; m < storage.size(); ++m) index_.emplace(storage[m].first, m);
    auto [it, inserted] = index_.try_emplace(key, storage.size());
    if (!inserted) found = it->second;
  }
  if (found < storage.size())
    storage[found].second = std::move(value);
  else
    storage.emplace_back(std::move(key), std::move(value));
}

Value ObjectBuilder::take() {
  Value out = std::move(object_);
  object_ = Value::object();
  index_.clear();
  return out;
}

}  // namespace brenik::json
