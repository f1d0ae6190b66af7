// Format-keeping JSON edits: what is not edited keeps every byte, new text
// follows the file's layout, and removing what was added gives the original.
#include <gtest/gtest.h>

#include "utils/errors.hpp"
#include "utils/json_edit.hpp"

namespace brenik::utils::json_edit {
namespace {

json::Value row(const std::string& command) {
  return json::loads(R"({"matcher": "Bash", "hooks": [{"type": "command", "command": ")" + command + R"("}]})");
}

TEST(JsonEdit, AppendKeepsTheRestByteForByteAndUtf8) {
  const std::string text =
      "{\n    \"model\": \"opus\",\n    \"note\": \"caf\xc3\xa9 \xe2\x9c\x93\",\n    \"allow\": [\"a\", \"b\"],\n"
      "    \"hooks\": {\n        \"PostToolUse\": [\n            {\"matcher\": \"Edit\", \"hooks\": []}\n        ]\n    }\n}\n";
  Document d(text);
  d.append({std::string("hooks"), std::string("PostToolUse")}, row("br\xc3\xa9nik x"));
  const std::string& out = d.text();
  // Everything up to the end of the existing element is untouched, and so is the tail.
  const auto cut = text.find("[]}") + 3;
  EXPECT_EQ(out.substr(0, cut), text.substr(0, cut));
  EXPECT_EQ(out.substr(out.size() - 20), text.substr(text.size() - 20));
  EXPECT_NE(out.find("\"allow\": [\"a\", \"b\"]"), std::string::npos);  // compact list stays compact
  EXPECT_EQ(out.find("\\u"), std::string::npos) << out;                 // UTF-8 as UTF-8
  // The new element uses the file's four-space unit at its own depth.
  EXPECT_NE(out.find(",\n            {\n                \"matcher\": \"Bash\",\n"), std::string::npos) << out;
  auto v = json::loads(out);
  ASSERT_EQ(v["hooks"]["PostToolUse"].size(), 2u);
  EXPECT_EQ(v["hooks"]["PostToolUse"][1]["hooks"][0]["command"], "br\xc3\xa9nik x");
  EXPECT_EQ(v["note"], "caf\xc3\xa9 \xe2\x9c\x93");
  ASSERT_TRUE(d.remove({std::string("hooks"), std::string("PostToolUse"), std::size_t{1}}));
  EXPECT_EQ(d.text(), text);
}

TEST(JsonEdit, SetAddsAMemberAndRemovingItRestoresTheText) {
  for (const std::string& text : {std::string("{\n\t\"a\": 1\n}\n"), std::string("{\"a\": 1}"), std::string("{}\n"),
                                  std::string("{\n  \"a\": {}\n}"), std::string("{\"a\":1}")}) {
    Document d(text);
    d.set({}, "hooks", json::loads(R"({"SessionStart": [{"hooks": [{"type": "command", "command": "x"}]}]})"));
    auto v = json::loads(d.text());
    EXPECT_EQ(v["hooks"]["SessionStart"][0]["hooks"][0]["command"], "x") << d.text();
    if (text.find('\t') != std::string::npos) {
      EXPECT_NE(d.text().find("\n\t\"hooks\": {\n\t\t\"SessionStart\": [\n"), std::string::npos) << d.text();
    }
    if (text == "{\"a\":1}") {
      EXPECT_EQ(d.text().find('\n'), std::string::npos) << d.text();           // one line stays one line
      EXPECT_NE(d.text().find("\"hooks\":{"), std::string::npos) << d.text();  // its own ":" style
    }
    ASSERT_TRUE(d.remove({std::string("hooks")}));
    EXPECT_EQ(d.text(), text);
  }
}

TEST(JsonEdit, SetReplacesOnlyTheValueAndRemoveHandlesEachPosition) {
  Document d("{ \"a\" : [1, 2, 3], \"b\": \"old\" , \"c\": null }");
  d.set({}, "b", "n\xc3\xa9w");
  EXPECT_EQ(d.text(), "{ \"a\" : [1, 2, 3], \"b\": \"n\xc3\xa9w\" , \"c\": null }");
  ASSERT_TRUE(d.remove({std::string("a"), std::size_t{0}}));
  EXPECT_EQ(d.text(), "{ \"a\" : [2, 3], \"b\": \"n\xc3\xa9w\" , \"c\": null }");
  ASSERT_TRUE(d.remove({std::string("a"), std::size_t{1}}));
  EXPECT_EQ(d.text(), "{ \"a\" : [2], \"b\": \"n\xc3\xa9w\" , \"c\": null }");
  ASSERT_TRUE(d.remove({std::string("a"), std::size_t{0}}));
  EXPECT_EQ(d.text(), "{ \"a\" : [], \"b\": \"n\xc3\xa9w\" , \"c\": null }");
  ASSERT_TRUE(d.remove({std::string("c")}));
  ASSERT_TRUE(d.remove({std::string("a")}));
  EXPECT_EQ(json::loads(d.text()), json::loads("{\"b\": \"n\xc3\xa9w\"}"));
  EXPECT_FALSE(d.remove({std::string("missing")}));
  EXPECT_FALSE(d.remove({std::string("b"), std::size_t{0}}));
}

TEST(JsonEdit, EscapedNamesStringsWithBracketsAndBadInput) {
  Document d(R"({"k\"ey": "a ] } , [ {", "x": {"y": [true, false]}})");
  d.append({std::string("x"), std::string("y")}, nullptr);
  EXPECT_EQ(d.text(), R"({"k\"ey": "a ] } , [ {", "x": {"y": [true, false, null]}})");
  EXPECT_THROW(d.set({std::string("k\"ey")}, "z", 1), ValueError);
  EXPECT_THROW(d.append({std::string("x")}, 1), ValueError);
  EXPECT_THROW(Document("{\"a\": 1"), ValueError);
  EXPECT_THROW(Document("{} {}"), ValueError);
}

TEST(JsonEdit, RenderKeepsScalarListsOnOneLine) {
  auto v = json::loads(R"({"command": "brenik", "args": ["mcp", "--x"], "env": {}})");
  EXPECT_EQ(render(v, "  "), "{\n  \"command\": \"brenik\",\n  \"args\": [\"mcp\", \"--x\"],\n  \"env\": {}\n}");
  EXPECT_EQ(render(v), R"({"command": "brenik", "args": ["mcp", "--x"], "env": {}})");
}

}  // namespace
}  // namespace brenik::utils::json_edit
