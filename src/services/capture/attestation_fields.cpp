#include "services/capture/attestation_fields.hpp"

#include <algorithm>

#include "utils/json_utf8.hpp"
#include "utils/time.hpp"
#include "utils/json.hpp"

namespace brenik::services::shared {

const std::vector<std::string> VALID_TASK_TYPES = {"feature", "bug-fix", "refactor", "docs", "test", "chore"};

const std::vector<std::string> VALID_PROVENANCE_TYPES = {"spec", "ticket", "bug-fix", "ad-hoc"};

const std::vector<std::string> V2_PRIMITIVES = {"architecture", "data_model", "interfaces", "dependencies",
                                                "decisions"};

const std::vector<std::string> VALID_ELEMENT_CHANGES = {"added", "modified", "removed"};

const std::vector<std::string> VALID_RULE_STATUSES = {"followed", "deviated", "not-applicable"};

namespace {

using Messages = std::vector<std::string>;

// Provenance types that point at a document someone can open: without a
// reference the record cannot be traced back to it.
const std::vector<std::string> REF_REQUIRED_PROVENANCE = {"spec", "ticket"};
const std::vector<std::string> FACT_CHANGE_KEYS = {"add", "update", "remove"};
const std::vector<std::string> RULES_KEYS = {"checked", "applicable"};
const std::vector<std::string> ELEMENT_KEYS = {"name", "change", "description", "fact_changes"};

bool contains(const std::vector<std::string>& list, const std::string& s) {
  return std::find(list.begin(), list.end(), s) != list.end();
}

bool is_one_of(const json::Value& v, const std::vector<std::string>& list) {
  return v.is_string() && contains(list, v.get<std::string>());
}

std::string join(const std::vector<std::string>& list, const char* sep = ", ") {
  std::string out;
  for (const auto& s : list) {
    if (!out.empty()) out += sep;
    out += s;
  }
  return out;
}

std::string index_path(const std::string& base, std::size_t i) { return base + "[" + std::to_string(i) + "]"; }

std::size_t code_points(std::string_view s) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < s.size(); ++n) json::detail::next_code_point(s, i);
  return n;
}

bool is_lower_hex_sha256(const std::string& s) {
  return s.size() == 64 &&
         std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool non_empty_text(const json::Value& v) { return v.is_string() && !v.get<std::string>().empty(); }

void check_optional_text(const json::Value& a, const char* key, Messages& errors) {
  if (a.contains(key) && !a.at(key).is_string())
    errors.push_back(std::string(key) + " must be text, got: " + json::type_name(a.at(key)));
}

void check_hash(const json::Value& a, Messages& errors) {
  const auto& h = member(a, "staged_diff_hash");
  if (!h.is_string()) {
    errors.push_back("staged_diff_hash is required (the SHA-256 of `git diff --staged`)");
  } else if (!is_lower_hex_sha256(h.get<std::string>())) {
    errors.push_back(
        "staged_diff_hash must be 64 lowercase hexadecimal characters (the SHA-256 of `git diff "
        "--staged`), got: " +
        json::repr(h));
  }
}

void check_timestamp(const json::Value& a, Messages& errors, Messages& warnings) {
  if (!a.contains("timestamp")) return;
  const auto& t = a.at("timestamp");
  if (!t.is_string()) {
    errors.push_back("timestamp must be text, got: " + json::type_name(t));
    return;
  }
  if (!utils::parse_iso8601(t.get<std::string>()))
    warnings.push_back("timestamp is not an ISO 8601 date-time: " + json::repr(t));
}

void check_model(const json::Value& a, Messages& errors, Messages& warnings) {
  const auto& m = member(a, "agent_model");
  if (a.contains("agent_model") && !m.is_string()) {
    errors.push_back("agent_model must be text, got: " + json::type_name(m));
  } else if (!non_empty_text(m)) {
    warnings.push_back("agent_model is empty: the record will not say which model wrote the change");
  }
}

void check_provenance(const json::Value& a, Messages& errors) {
  if (!a.contains("provenance")) return;
  const auto& p = a.at("provenance");
  if (!p.is_object()) {
    errors.push_back("provenance must be a mapping with type and ref, got: " + json::type_name(p));
    return;
  }
  const auto& type = member(p, "type");
  if (!is_one_of(type, VALID_PROVENANCE_TYPES)) {
    errors.push_back("provenance.type must be one of " + provenance_types_text() + ", got: " + json::repr(type));
    return;
  }
  const auto& ref = member(p, "ref");
  if (p.contains("ref") && !ref.is_string()) {
    errors.push_back("provenance.ref must be text, got: " + json::type_name(ref));
  } else if (contains(REF_REQUIRED_PROVENANCE, type.get<std::string>()) && !non_empty_text(ref)) {
    errors.push_back("provenance.ref is required when provenance.type is " + json::repr(type) +
                     " (the spec slug or ticket id the work came from)");
  }
}

void check_task_type(const json::Value& a, Messages& errors) {
  if (!a.contains("task_type")) return;
  const auto& t = a.at("task_type");
  if (!is_one_of(t, VALID_TASK_TYPES))
    errors.push_back("task_type must be one of " + join(VALID_TASK_TYPES) + ", got: " + json::repr(t));
}

void check_rule_entry(const json::Value& entry, const std::string& path, Messages& errors, Messages& warnings) {
  if (entry.is_string()) {
    if (entry.get<std::string>().empty()) errors.push_back(path + " is an empty rule id");
    return;
  }
  if (!entry.is_object()) {
    errors.push_back(path + " must be a rule id or a mapping with id and status, got: " + json::type_name(entry));
    return;
  }
  const auto& id = member(entry, "id");
  const auto& name = member(entry, "name");
  if (!non_empty_text(id) && !non_empty_text(name)) {
    errors.push_back(path + " needs an id or a name");
    return;
  }
  const std::string label = json::repr(non_empty_text(id) ? id : name);
  if (!entry.contains("status")) return;
  const auto& status = entry.at("status");
  if (!is_one_of(status, VALID_RULE_STATUSES)) {
    errors.push_back(path + ".status must be one of " + join(VALID_RULE_STATUSES) + ", got: " + json::repr(status));
    return;
  }
  if (status.get<std::string>() == "deviated" && !non_empty_text(member(entry, "note")))
    warnings.push_back(path + " (" + label + ") deviated without a note saying why");
}

void check_rules(const json::Value& a, Messages& errors, Messages& warnings) {
  if (!a.contains("rules")) {
    warnings.push_back(
        "no rules recorded: pass --rules '{\"checked\": true, \"applicable\": [...]}' to show "
        "which project rules were consulted");
    return;
  }
  const auto& rules = a.at("rules");
  if (!rules.is_object()) {
    errors.push_back("rules must be a mapping with checked and applicable, got: " + json::type_name(rules));
    return;
  }
  const auto& checked = member(rules, "checked");
  if (!rules.contains("checked")) {
    warnings.push_back("rules.checked is missing: say whether the project rules were consulted");
  } else if (!checked.is_boolean()) {
    errors.push_back("rules.checked must be true or false, got: " + json::repr(checked));
  } else if (!checked.get<bool>()) {
    warnings.push_back("rules.checked is false: the project rules were not consulted");
  }
  if (rules.contains("applicable")) {
    const auto& applicable = rules.at("applicable");
    if (!applicable.is_array()) {
      errors.push_back("rules.applicable must be a list, got: " + json::type_name(applicable));
    } else {
      for (std::size_t i = 0; i < applicable.size(); ++i)
        check_rule_entry(applicable[i], index_path("rules.applicable", i), errors, warnings);
    }
  }
  for (const auto& [key, _] : rules.items())
    if (!contains(RULES_KEYS, key)) warnings.push_back("rules: unknown key " + json::repr(key));
}

void check_fact_changes(const json::Value& facts, const std::string& path, Messages& errors) {
  if (!facts.is_object()) {
    errors.push_back(path + " must be a mapping with add, update and remove lists, got: " + json::type_name(facts));
    return;
  }
  for (const auto& [key, list] : facts.items()) {
    const std::string sub = path + "." + key;
    if (!contains(FACT_CHANGE_KEYS, key)) {
      errors.push_back(sub + " is not one of " + join(FACT_CHANGE_KEYS));
      continue;
    }
    if (!list.is_array()) {
      errors.push_back(sub + " must be a list, got: " + json::type_name(list));
      continue;
    }
    for (std::size_t i = 0; i < list.size(); ++i) {
      const auto& fact = list[i];
      if (!non_empty_text(fact) && !(fact.is_object() && !fact.empty()))
        errors.push_back(index_path(sub, i) + " must be a fact (text or a mapping), got: " + json::repr(fact));
    }
  }
}

void check_element(const json::Value& el, const std::string& path, Messages& errors, Messages& warnings) {
  if (!el.is_object()) {
    errors.push_back(path + " must be a mapping with name and change, got: " + json::type_name(el));
    return;
  }
  const auto& name = member(el, "name");
  if (!non_empty_text(name)) {
    errors.push_back(path + ".name is required");
    return;
  }
  const std::string label = path + " (" + json::repr(name) + ")";
  const auto& change = member(el, "change");
  if (!is_one_of(change, VALID_ELEMENT_CHANGES))
    errors.push_back(label + ".change must be one of " + join(VALID_ELEMENT_CHANGES) + ", got: " + json::repr(change));
  const auto& description = member(el, "description");
  if (el.contains("description") && !description.is_string())
    errors.push_back(label + ".description must be text, got: " + json::type_name(description));
  else if (!non_empty_text(description))
    warnings.push_back(label + " has no description");
  if (el.contains("fact_changes")) check_fact_changes(el.at("fact_changes"), path + ".fact_changes", errors);
  for (const auto& [key, _] : el.items())
    if (!contains(ELEMENT_KEYS, key)) warnings.push_back(path + ": unknown key " + json::repr(key));
}

void check_changes(const json::Value& a, Messages& errors, Messages& warnings) {
  if (!a.contains("changes")) return;
  const auto& changes = a.at("changes");
  if (!changes.is_object()) {
    errors.push_back("changes must be a mapping of change primitives, got: " + json::type_name(changes));
    return;
  }
  if (changes.empty()) {
    warnings.push_back("changes is empty: none of the given keys is a change primitive (" + join(V2_PRIMITIVES) + ")");
    return;
  }
  for (const auto& [key, primitive] : changes.items()) {
    const std::string path = "changes." + key;
    if (!contains(V2_PRIMITIVES, key)) {
      errors.push_back(path + " is not a change primitive (" + join(V2_PRIMITIVES) + ")");
      continue;
    }
    if (!primitive.is_object()) {
      errors.push_back(path + " must be a mapping with elements, got: " + json::type_name(primitive));
      continue;
    }
    const auto& elements = member(primitive, "elements");
    if (!elements.is_array()) {
      errors.push_back(path + ".elements must be a list, got: " + json::type_name(elements));
      continue;
    }
    if (elements.empty()) warnings.push_back(path + ".elements is empty");
    for (std::size_t i = 0; i < elements.size(); ++i)
      check_element(elements[i], index_path(path + ".elements", i), errors, warnings);
    for (const auto& [sub, _] : primitive.items())
      if (sub != "elements") warnings.push_back(path + ": unknown key " + json::repr(sub));
  }
}

void check_summary(const json::Value& a, Messages& errors, Messages& warnings) {
  const auto& s = member(a, "summary");
  if (!s.is_string()) {
    errors.push_back(a.contains("summary") ? "summary must be text, got: " + json::type_name(s)
                                           : std::string("summary is required"));
    return;
  }
  const auto& text = s.get_ref<const std::string&>();
  if (text.empty()) {
    warnings.push_back("summary is empty: say in one line what the commit changes");
    return;
  }
  if (text.find('\n') != std::string::npos) warnings.push_back("summary spans several lines: keep it to one line");
  const std::size_t n = code_points(text);
  if (n > SUMMARY_SOFT_LIMIT)
    warnings.push_back("summary is " + std::to_string(n) + " characters long: keep it under " +
                       std::to_string(SUMMARY_SOFT_LIMIT));
}

}  // namespace

std::string provenance_types_text() {
  std::string out = "[";
  for (std::size_t i = 0; i < VALID_PROVENANCE_TYPES.size(); ++i) {
    if (i) out += ", ";
    out += json::repr(json::Value(VALID_PROVENANCE_TYPES[i]));
  }
  return out + "]";
}

std::pair<std::vector<std::string>, std::vector<std::string>> validate_attestation_fields(
    const json::Value& attestation) {
  Messages errors, warnings;
  if (!attestation.is_object()) {
    errors.push_back("attestation must be a mapping, got: " + json::type_name(attestation));
    return {errors, warnings};
  }
  // In the order the fields appear in the file, so messages read top-down.
  check_hash(attestation, errors);
  check_timestamp(attestation, errors, warnings);
  check_model(attestation, errors, warnings);
  for (const char* key : {"agent", "agent_provider", "agent_id"}) check_optional_text(attestation, key, errors);
  check_provenance(attestation, errors);
  check_task_type(attestation, errors);
  check_rules(attestation, errors, warnings);
  check_changes(attestation, errors, warnings);
  check_summary(attestation, errors, warnings);
  return {errors, warnings};
}

}  // namespace brenik::services::shared
