#include <gtest/gtest.h>

#include "hooks/scripts.hpp"
#include "services/capture/attestation_fields.hpp"
#include "services/shared.hpp"
#include "utils/yaml.hpp"

namespace brenik {
namespace {

using services::shared::validate_attestation_fields;

json::Value example() {
  return yaml::load(services::shared::strip_yaml_delimiters(hooks::scripts::example_attestation()));
}

bool has(const std::vector<std::string>& list, const std::string& part) {
  for (const auto& m : list)
    if (m.find(part) != std::string::npos) return true;
  return false;
}

TEST(ExampleAttestation, IsDelimitedAndPassesTheValidatorCleanly) {
  const std::string text = hooks::scripts::example_attestation();
  EXPECT_EQ(text.rfind("---\n", 0), 0u);
  EXPECT_EQ(text.substr(text.size() - 4), "---\n");
  const auto parsed = example();
  ASSERT_TRUE(parsed.is_object());
  auto [errors, warnings] = validate_attestation_fields(parsed);
  EXPECT_TRUE(errors.empty()) << errors.front();
  EXPECT_TRUE(warnings.empty()) << warnings.front();
  // Every change primitive is shown, in the order the command writes them.
  std::vector<std::string> keys;
  for (const auto& [k, _] : parsed.at("changes").items()) keys.push_back(k);
  EXPECT_EQ(keys, services::shared::V2_PRIMITIVES);
}

TEST(ProvenanceTypes, RenderAsAPythonList) {
  EXPECT_EQ(services::shared::provenance_types_text(), "['spec', 'ticket', 'bug-fix', 'ad-hoc']");
}

struct Case {
  const char* name;
  const char* path;   // JSON pointer into the example
  const char* value;  // JSON to put there; "<remove>" deletes it
  const char* error;  // expected error fragment, or "" for none
  const char* warning;
};

class ValidatorCase : public ::testing::TestWithParam<Case> {};

TEST_P(ValidatorCase, ReportsTheExpectedMessage) {
  const Case& c = GetParam();
  auto a = example();
  const json::Value::json_pointer ptr(c.path);
  if (std::string(c.value) == "<remove>")
    a.at(ptr.parent_pointer()).erase(ptr.back());
  else
    a[ptr] = json::loads(c.value);
  auto [errors, warnings] = validate_attestation_fields(a);
  if (*c.error) {
    EXPECT_TRUE(has(errors, c.error)) << (errors.empty() ? "no errors" : errors.front());
  } else {
    EXPECT_TRUE(errors.empty()) << errors.front();
  }
  if (*c.warning) {
    EXPECT_TRUE(has(warnings, c.warning)) << (warnings.empty() ? "none" : warnings.front());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, ValidatorCase,
    ::testing::Values(
        Case{"bad_task_type", "/task_type", R"("perf")", "task_type must be one of", ""},
        Case{"bad_provenance", "/provenance/type", R"("wish")", "provenance.type must be one of ['spec'", ""},
        Case{"spec_without_ref", "/provenance/ref", "<remove>", "provenance.ref is required", ""},
        Case{"adhoc_without_ref", "/provenance", R"({"type": "ad-hoc"})", "", ""},
        Case{"hash_not_hex", "/staged_diff_hash", R"("ABC")", "64 lowercase hexadecimal", ""},
        Case{"checked_not_bool", "/rules/checked", R"("yes")", "rules.checked must be true or false", ""},
        Case{"checked_false", "/rules/checked", "false", "", "rules.checked is false"},
        Case{"applicable_not_list", "/rules/applicable", R"("x")", "rules.applicable must be a list", ""},
        Case{"rule_without_id", "/rules/applicable/0", R"({"status": "followed"})", "needs an id or a name", ""},
        Case{"rule_bad_status", "/rules/applicable/0/status", R"("ignored")", "status must be one of", ""},
        Case{"deviation_without_note", "/rules/applicable/1/note", "<remove>", "", "deviated without a note"},
        Case{"no_rules", "/rules", "<remove>", "", "no rules recorded"},
        Case{"unknown_primitive", "/changes/ui", R"({"elements": []})", "changes.ui is not a change primitive", ""},
        Case{"elements_not_list", "/changes/architecture/elements", "{}", "elements must be a list", ""},
        Case{"element_without_name", "/changes/architecture/elements/0/name", R"("")", ".name is required", ""},
        Case{"element_bad_change", "/changes/architecture/elements/0/change", R"("renamed")",
             "change must be one of added, modified, removed", ""},
        Case{"fact_changes_bad_key", "/changes/architecture/elements/0/fact_changes/rename", "[]",
             "is not one of add, update, remove", ""},
        Case{"fact_list_not_list", "/changes/architecture/elements/0/fact_changes/add", R"("x")", "must be a list", ""},
        Case{"empty_changes", "/changes", "{}", "", "changes is empty"},
        Case{"empty_summary", "/summary", R"("")", "", "summary is empty"},
        Case{
            "long_summary", "/summary",
            R"("xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx")",
            "", "201 characters"},
        Case{"summary_missing", "/summary", "<remove>", "summary is required", ""},
        Case{"model_empty", "/agent_model", R"("")", "", "agent_model is empty"},
        Case{"agent_not_text", "/agent", "3", "agent must be text", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Validator, RejectsANonMapping) {
  auto [errors, warnings] = validate_attestation_fields(json::loads("[1]"));
  EXPECT_TRUE(has(errors, "attestation must be a mapping, got: list"));
}

}  // namespace
}  // namespace brenik
