// The fast reader of archived attestations against the YAML loader: where it
// answers, it answers exactly what the loader reads; what it does not know
// it leaves to the loader.
#include <gtest/gtest.h>

#include <random>

#include "services/ledger/block_yaml.hpp"
#include "utils/yaml.hpp"

namespace ex = brenik::services::tolvern::detail;
using brenik::json::Value;

namespace {

const char* const TOKENS[] = {"",
                              "plain",
                              "with, comma",
                              "a: b",
                              "x #y",
                              "#c",
                              "- d",
                              "yes",
                              "No",
                              "null",
                              "~",
                              "1",
                              "0x1F",
                              "1.5",
                              ".inf",
                              "2024-01-01",
                              "2024-01-01T10:00:00Z",
                              "'q'",
                              "it's",
                              "\"dq\"",
                              "[a]",
                              "{b}",
                              "&a",
                              "*a",
                              "!t",
                              "|",
                              ">",
                              "%",
                              "@",
                              "`",
                              "\xc3\xa9t\xc3\xa9",
                              "line\nbreak",
                              "trail ",
                              " lead",
                              "a:b",
                              "12:30",
                              "0o17",
                              "+1",
                              "-1",
                              "-",
                              "?",
                              "<<",
                              ":x",
                              "a#b",
                              "Added rate limiting",
                              "claude-opus-4-6",
                              "R12",
                              "true",
                              "0",
                              "007",
                              "1_000",
                              "tab\there",
                              "x: ",
                              "http://example.com/a?b=c",
                              "a - b",
                              "a]",
                              "é: x"};

// The text an attestation usually holds.
const char* const ORDINARY[] = {"plain",
                                "with, comma",
                                "Added rate limiting",
                                "claude-opus-4-6",
                                "R12",
                                "it's",
                                "1",
                                "1.5",
                                "true",
                                "null",
                                "2024-01-01T10:00:00Z",
                                "\xc3\xa9t\xc3\xa9",
                                "http://example.com/a?b=c",
                                "a - b",
                                "",
                                "dev@example.com"};

class Generator {
public:
  Generator(unsigned seed, bool ordinary) : rng_(seed), ordinary_(ordinary) {}

  std::string token() { return ordinary_ ? ORDINARY[pick(std::size(ORDINARY))] : TOKENS[pick(std::size(TOKENS))]; }

  Value scalar() {
    switch (pick(6)) {
      case 0: return Value(static_cast<std::int64_t>(pick(2000)) - 1000);
      case 1: return Value(static_cast<double>(pick(1000)) / 8.0);
      case 2: return Value(pick(2) == 0);
      case 3: return Value();
      default: return Value(token());
    }
  }

  Value value(int depth) {
    const std::size_t kind = depth >= 3 ? 0 : pick(5);
    if (kind == 3) {
      Value a = Value::array();
      for (std::size_t i = pick(4); i > 0; --i) a.push_back(pick(5) == 0 ? map(depth + 1) : scalar());
      return a;
    }
    if (kind == 4) return map(depth + 1);
    return scalar();
  }

  Value map(int depth) {
    Value m = Value::object();
    for (std::size_t i = pick(5); i > 0; --i) m[token()] = value(depth);
    return m;
  }

private:
  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
  std::mt19937 rng_;
  bool ordinary_;
};

// What the loader makes of the text (none when it refuses it).
std::optional<Value> loader(const std::string& text) {
  try {
    auto docs = brenik::yaml::load_all(text);
    if (docs.empty() || docs.front().is_null()) return Value::object();
    return docs.front();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

TEST(BlockYaml, AgreesWithTheLoaderOnWhatTheWriterWrites) {
  for (bool ordinary : {false, true}) {
    Generator gen(20261208, ordinary);
    std::size_t answered = 0, total = 0;
    for (int i = 0; i < 4000; ++i) {
      const Value doc = gen.map(0);
      if (doc.empty()) continue;
      ++total;
      const std::string text = brenik::yaml::dump(doc);
      auto fast = ex::read_block_yaml(text);
      if (!fast) continue;
      ++answered;
      auto slow = loader(text);
      ASSERT_TRUE(slow) << text;
      ASSERT_EQ(*fast, *slow) << text;
    }
    // On ordinary text the reader must answer, or it saves nothing.
    if (ordinary) {
      EXPECT_GT(answered * 2, total) << answered << " of " << total;
    } else {
      EXPECT_GT(answered, 0u);
    }
  }
}

TEST(BlockYaml, TakesAnAttestationAsTheWriterLaysItOut) {
  const Value att = Value::parse(R"({
    "staged_diff_hash": "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef",
    "timestamp": "2026-01-02T03:04:05Z", "agent_model": "claude-opus-4-6", "agent": "claude-code",
    "agent_provider": "anthropic", "task_type": "feature",
    "rules": {"checked": true, "applicable": ["R12", "R3"], "available": null},
    "summary": "Added rate limiting, with tests", "developer": {"git_author_name": "Dev O'Neil",
    "git_author_email": "dev@example.com"}, "telemetry": {"tokens": {"input": 12, "output": 3.5}},
    "empty": {}, "none": []})");
  const std::string text = brenik::yaml::dump(att);
  auto fast = ex::read_block_yaml(text);
  ASSERT_TRUE(fast) << text;
  EXPECT_EQ(*fast, att);
  EXPECT_EQ(*fast, *loader(text));
}

TEST(BlockYaml, LeavesEverythingElseToTheLoader) {
  const char* const texts[] = {
      "a: 1 # note\n",     // comment
      "a: one\n  two\n",   // continuation line
      "a: &x 1\nb: *x\n",  // anchor, alias
      "a: \"q\\n\"\n",     // double quotes
      "a: 1\n\nb: 2\n",    // blank line
      "a:\t1\n",           // tab
      "yes: 1\n",          // key that is not text
      "1: x\n",
      "a: 1\na: 2\n",    // repeated key
      "<<: {a: 1}\n",    // merge
      "a: |\n  text\n",  // block scalar
      "a: [1, 2]\n",     // flow collection
      "--- \na: 1\n",    // document marker
      "- 1\n- 2\n",      // not a mapping
      "a: 'unterminated\n",
      "a: 'it's'\n",
      "a: x\r\n",
      "  a: 1\n",
      "a:\n  b: 1\n c: 2\n",  // uneven indentation
      "? a\n: 1\n",
  };
  for (const char* t : texts) {
    auto fast = ex::read_block_yaml(t);
    EXPECT_FALSE(fast) << t;
  }
  // Where it does answer on hand-written text, it agrees.
  for (const char* t :
       {"a:   spaced\n", "a:\n  b:\n    c: deep\n  d: [] \n", "a:\nb: 2\n", "a:\n  - x\n  - 'y'\n", "k: v, w\n",
        "k: it''s\n", "a:\n- k: v\n  j: w\n- x\n", "a:\n- k:\n    deep: 1\n", "a:\n- k: v\n   j: w\n", "'x: y': 1\n",
        "'a''b':\n  c: d\n", "a: -\n", "a: -x\n", "a: <<\n", "a: =\n", "a: x\"y\n", "a: 'x' y\n"}) {
    auto fast = ex::read_block_yaml(t);
    auto slow = loader(t);
    if (fast) {
      ASSERT_TRUE(slow) << t;
      EXPECT_EQ(*fast, *slow) << t;
    }
  }
  EXPECT_EQ(ex::read_block_yaml("a:\n  - x\n  - 'y'\n"), Value::parse(R"({"a": ["x", "y"]})"));
  EXPECT_EQ(ex::read_block_yaml("a:\nb: 2\n"), Value::parse(R"({"a": null, "b": 2})"));
  EXPECT_EQ(ex::read_block_yaml("a:\n- k: v\n  j: w\n- x\n"), Value::parse(R"({"a": [{"k": "v", "j": "w"}, "x"]})"));
  EXPECT_EQ(ex::read_block_yaml("'1': -5\n"), Value::parse(R"({"1": -5})"));
}
