// The JSON layer against Python's json module: the writer must match
// json.dumps byte for byte and the decoder must accept what json.loads
// accepts and fail with the same messages and positions. Python is the
// oracle where it is installed; the focused cases below run everywhere.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/python_oracle.hpp"
#include "utils/errors.hpp"
#include "utils/json.hpp"

namespace json = brenik::json;
using json::Value;

namespace {

bool have_python() { return brenik::testing::python_available(); }
using brenik::testing::run_python;

#define SKIP_WITHOUT_PYTHON()                                                                 \
  if (!have_python()) {                                                                       \
    if (brenik::testing::oracle_required()) GTEST_FAIL() << "python3 is not installed in CI"; \
    GTEST_SKIP() << "python3 is not installed; oracle comparison skipped";                    \
  }

// JSON texts whose re-serialisation must equal Python's.
const std::vector<std::string> VALUE_CORPUS = {
    R"("plain ascii")",
    "\"h\xC3\xA9llo w\xC3\xB6rld\"",
    "\"\xE4\xB8\xAD\xE6\x96\x87 \xE6\x97\xA5\xE6\x9C\xAC\"",
    "\"\xF0\x9F\x98\x80 emoji \xF0\x9D\x84\x9E\"",
    R"("\ud83d\ude00 escaped pair")",
    R"("\u0000\u0001\u001f\u007f\b\f\n\r\t\u0085\u2028")",
    R"("quote \" backslash \\ slash \/ done")",
    R"("\ud800 lone high, \udc00 lone low, \ud800\u0041 mismatched")",
    R"("\uFEFF bom and \uffff")",
    "0.1",
    "1e16",
    "1E16",
    "1e15",
    "1e-07",
    "0.0001",
    "0.00001",
    "-0.0",
    "0.0",
    "-0",
    "100.0",
    "1e22",
    "123.456e5",
    "2.5E-3",
    "1.0",
    "3.14159",
    "0.30000000000000004",
    "1.7976931348623157e308",
    "2.2250738585072014e-308",
    "5e-324",
    "4.9406564584124654e-324",
    "1.5e300",
    "1e400",
    "-1e400",
    "1e-400",
    "-1e-400",
    "123456789012345678e-5",
    "9223372036854775807",
    "9223372036854775808",
    "18446744073709551615",
    "-9223372036854775808",
    "0",
    "-1",
    "42",
    "NaN",
    "Infinity",
    "-Infinity",
    "[NaN, Infinity, -Infinity]",
    "[]",
    "{}",
    "[[], {}, [{}], {\"a\": []}]",
    "{\"\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87\": {\"nested\": [1, 2.5, null, true, false, \"x\"]}}",
    R"({"a": 1, "b": {"c": [1, {"d": null}]}, "a": 2})",
    R"({"z": 1, "y": 2, "x": 3})",
    " \t\n\r[ 1 ,\n 2 ] \n",
    R"({"k\u00e9y": "v", "": ""})",
};

}  // namespace

TEST(JsonOracle, DumpsOfLoadsMatchesPython) {
  SKIP_WITHOUT_PYTHON();
  std::string input;
  for (const auto& text : VALUE_CORPUS) input += json::dumps(Value(text)) + "\n";
  const auto expected = run_python(R"(
import json, sys
for line in open(sys.argv[1], encoding='utf-8'):
    v = json.loads(json.loads(line))
    print(json.dumps(v))
    print(json.dumps(json.dumps(v, indent=2)))
    print(json.dumps(json.dumps(v, indent=0)))
)",
                                   input);
  ASSERT_EQ(expected.size(), VALUE_CORPUS.size() * 3);
  for (std::size_t k = 0; k < VALUE_CORPUS.size(); ++k) {
    const Value v = json::loads(VALUE_CORPUS[k]);
    EXPECT_EQ(json::dumps(v), expected[3 * k]) << "input: " << VALUE_CORPUS[k];
    EXPECT_EQ(json::dumps(Value(json::dumps(v, {.indent = 2}))), expected[3 * k + 1])
        << "indent=2 of: " << VALUE_CORPUS[k];
    EXPECT_EQ(json::dumps(Value(json::dumps(v, {.indent = 0}))), expected[3 * k + 2])
        << "indent=0 of: " << VALUE_CORPUS[k];
  }
}

TEST(JsonOracle, FloatReprMatchesPythonOnRandomDoubles) {
  SKIP_WITHOUT_PYTHON();
  std::mt19937_64 rng(20240501);
  std::vector<double> values;
  for (int k = 0; k < 3000; ++k) {
    std::uint64_t bits = rng();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (std::isfinite(d)) values.push_back(d);
  }
  std::uniform_real_distribution<double> small(-1e6, 1e6);
  for (int k = 0; k < 1000; ++k) values.push_back(small(rng));
  for (int e = -330; e <= 310; ++e) values.push_back(std::pow(10.0, e));
  std::string input;
  for (double d : values) {
    char hex[64];
    std::snprintf(hex, sizeof hex, "%a", d);
    input += std::string(hex) + " " + json::float_repr(d) + "\n";
  }
  const auto mismatches = run_python(R"(
import sys
for line in open(sys.argv[1]):
    hexform, ours = line.split()
    want = repr(float.fromhex(hexform))
    if want != ours:
        print(hexform, want, ours)
)",
                                     input);
  EXPECT_TRUE(mismatches.empty()) << mismatches.size() << " mismatches, first: " << mismatches.front();
}

TEST(JsonOracle, DecodeErrorsMatchPython) {
  SKIP_WITHOUT_PYTHON();
  const std::vector<std::string> bad = {
      "",
      "   ",
      "[1,",
      "[1,]",
      "{\"a\" 1}",
      "{1:2}",
      "[1 2]",
      "\"abc",
      "tru",
      "[1]x",
      "[1] [2]",
      "\"\\x\"",
      "\"a\x01\"",
      "\"tab\tinside\"",
      "[\n1,\n2\n,,]",
      "\"\xC3\xA9\" x",
      "[\"\xE6\x97\xA5\xE6\x9C\xAC\", tru]",
      "\"\xF0\x9F\x98\x80\" x",
      "{\"a\":1,}",
      "{\"a\":",
      "{\"a\"",
      "{",
      "[",
      "{\"a\": 1 \"b\": 2}",
      "\"\\u12\"",
      "\"\\u12zz\"",
      "\"\\ud800\\uzzzz\"",
      "\"\\",
      "\"\\u1234",
      "\"\\ud800\\u12",
      "-",
      "-x",
      "01",
      "1.",
      "1e",
      "1e+",
      ".5",
      "+1",
      "\xEF\xBB\xBF[]",
      "nul",
      "NaNx",
      "-Infinit",
      "\n\n  x",
      "\"a\" \"b\"",
      "[1,\n\n  \"\xC3\xA9\xC3\xA9\" 3]",
      "{\"x\": [1, {\"y\": }]}",
      "truex",
      "[-]",
      "[1.5e]",
      "\"\\u00e9\x1f\"",
  };
  std::string input;
  for (const auto& text : bad) input += json::dumps(Value(text)) + "\n";
  const auto expected = run_python(R"(
import json, sys
for line in open(sys.argv[1], encoding='utf-8'):
    try:
        json.loads(json.loads(line))
        print("OK")
    except json.JSONDecodeError as e:
        print(str(e))
)",
                                   input);
  ASSERT_EQ(expected.size(), bad.size());
  for (std::size_t k = 0; k < bad.size(); ++k) {
    std::string ours = "OK";
    try {
      json::loads(bad[k]);
    } catch (const brenik::JSONDecodeError& e) {
      ours = e.what();
    }
    EXPECT_EQ(ours, expected[k]) << "input: " << json::dumps(Value(bad[k]));
  }
}

TEST(JsonDecode, ErrorCarriesPythonPositionFields) {
  try {
    json::loads("[1,\n  2,\n  x]");
    FAIL() << "no error";
  } catch (const brenik::JSONDecodeError& e) {
    EXPECT_EQ(e.msg(), "Expecting value");
    EXPECT_EQ(e.pos(), 11u);
    EXPECT_EQ(e.lineno(), 3u);
    EXPECT_EQ(e.colno(), 3u);
    EXPECT_EQ(e.kind(), "JSONDecodeError");
  }
  EXPECT_FALSE(json::try_loads("{").has_value());
  EXPECT_EQ(json::try_loads(" [1] ").value(), Value::array({1}));
}

TEST(JsonDecode, ValuesAndNumberKinds) {
  EXPECT_TRUE(json::loads("9223372036854775807").is_number_integer());
  EXPECT_EQ(json::loads("18446744073709551615").get<std::uint64_t>(), 18446744073709551615ull);
  EXPECT_EQ(json::loads("-9223372036854775808").get<std::int64_t>(), std::numeric_limits<std::int64_t>::min());
  // Beyond 64 bits an integer can only be approximated.
  const Value big = json::loads("123456789012345678901234567890");
  ASSERT_TRUE(big.is_number_float());
  EXPECT_DOUBLE_EQ(big.get<double>(), 1.2345678901234568e29);
  EXPECT_TRUE(std::isnan(json::loads("NaN").get<double>()));
  EXPECT_TRUE(std::signbit(json::loads("-0.0").get<double>()));
  EXPECT_TRUE(json::loads("1.0").is_number_float());
  // A repeated key keeps its first position and takes the last value.
  EXPECT_EQ(json::dumps(json::loads(R"({"a": 1, "b": 2, "a": 3})")), R"({"a": 3, "b": 2})");
  std::string many = "{";
  for (int k = 0; k < 100; ++k) many += "\"k" + std::to_string(k % 40) + "\": " + std::to_string(k) + ",";
  many.back() = '}';
  const Value m = json::loads(many);
  EXPECT_EQ(m.size(), 40u);
  EXPECT_EQ(m.begin().key(), "k0");
  EXPECT_EQ(m["k0"], 80);
  EXPECT_EQ(m["k39"], 79);
}

TEST(JsonDecode, InvalidUtf8NeverCrashes) {
  EXPECT_EQ(json::loads("\"a\xFF"
                        "b\"")
                .get<std::string>(),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(json::loads("\"\xE2\x82\"").get<std::string>(), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(json::dumps(Value("x\xC3(\xF0\x9F\x98")), R"("x\ufffd(\ufffd\ufffd\ufffd")");
  try {
    json::loads("\xFF\xFE 1");
    FAIL() << "no error";
  } catch (const brenik::JSONDecodeError& e) {
    EXPECT_STREQ(e.what(), "Expecting value: line 1 column 1 (char 0)");
  }
  try {
    json::loads("[\"\xFF\xFF\" x]");
    FAIL() << "no error";
  } catch (const brenik::JSONDecodeError& e) {
    EXPECT_STREQ(e.what(), "Expecting ',' delimiter: line 1 column 7 (char 6)");
  }
}

TEST(JsonDecode, LoneSurrogatesRoundTrip) {
  for (const char* text : {R"("\ud800")", R"("a\udfffb")", R"("\udbfftext")"})
    EXPECT_EQ(json::dumps(json::loads(text)), text);
  // A proper pair becomes one code point in UTF-8.
  EXPECT_EQ(json::loads(R"("\ud83d\ude00")").get<std::string>(), "\xF0\x9F\x98\x80");
}

TEST(JsonDecode, DeepNestingFailsCleanly) {
  const std::string deep(200000, '[');
  try {
    json::loads(deep);
    FAIL() << "no error";
  } catch (const brenik::JSONDecodeError& e) {
    EXPECT_EQ(e.msg(), "Maximum nesting depth exceeded");
  }
  const std::string ok = std::string(5000, '[') + std::string(5000, ']');
  EXPECT_EQ(json::dumps(json::loads(ok)), ok);
  std::string objects;
  for (int k = 0; k < 5000; ++k) objects += "{\"a\": ";
  objects += "1" + std::string(5000, '}');
  EXPECT_EQ(json::dumps(json::loads(objects)), objects);
}

TEST(JsonDump, BinaryHasOnlyATextForm) {
  const Value blob = Value::binary({0x01, 'a', '\'', 0xff});
  EXPECT_EQ(json::dumps(blob), R"("b\"\\x01a'\\xff\"")");
  EXPECT_EQ(json::dumps(Value::object({{"b", Value::binary({'x'})}})), R"({"b": "b'x'"})");
  EXPECT_THROW(json::dumps(blob, {.text_form_fallback = false}), brenik::TypeError);
}

TEST(JsonDump, DumpToAppends) {
  std::string out = "prefix ";
  json::dump_to(out, Value::object({{"k", "\xC3\xA9"}, {"n", 1.5}}));
  json::dump_to(out, Value::array({true, nullptr}));
  EXPECT_EQ(out, R"(prefix {"k": "\u00e9", "n": 1.5}[true, null])");
}

TEST(JsonRepr, PythonRenderings) {
  EXPECT_EQ(json::repr(json::loads(R"({"k": null, "l": [1, "a", 0.5, true, false, -0.0]})")),
            "{'k': None, 'l': [1, 'a', 0.5, True, False, -0.0]}");
  EXPECT_EQ(json::repr(Value("it's")), "\"it's\"");
  EXPECT_EQ(json::repr(Value("it's \"q\"")), "'it\\'s \"q\"'");
  EXPECT_EQ(json::repr(Value("a\\b\n\t\r\x01\x7f")), "'a\\\\b\\n\\t\\r\\x01\\x7f'");
  EXPECT_EQ(json::repr(Value("caf\xC3\xA9 \xF0\x9F\x98\x80 \xC2\xA0 \xE2\x80\x8B")),
            "'caf\xC3\xA9 \xF0\x9F\x98\x80 \\xa0 \\u200b'");
  EXPECT_EQ(json::repr(Value(std::numeric_limits<double>::infinity())), "inf");
  EXPECT_EQ(json::repr(Value(1e16)), "1e+16");
  EXPECT_EQ(json::repr(Value::object()), "{}");
  EXPECT_EQ(json::type_name(json::loads("{}")), "dict");
  EXPECT_EQ(json::type_name(json::loads("[]")), "list");
  EXPECT_EQ(json::type_name(json::loads("\"\"")), "str");
  EXPECT_EQ(json::type_name(json::loads("1")), "int");
  EXPECT_EQ(json::type_name(json::loads("18446744073709551615")), "int");
  EXPECT_EQ(json::type_name(json::loads("1.0")), "float");
  EXPECT_EQ(json::type_name(json::loads("true")), "bool");
  EXPECT_EQ(json::type_name(json::loads("null")), "NoneType");
}

TEST(JsonRepr, FloatReprLayout) {
  const std::vector<std::pair<double, std::string>> cases = {
      {0.1, "0.1"},       {1e16, "1e+16"},      {1e15, "1000000000000000.0"},
      {1e-07, "1e-07"},   {0.0001, "0.0001"},   {-0.0, "-0.0"},
      {100.0, "100.0"},   {1e22, "1e+22"},      {1.5e300, "1.5e+300"},
      {5e-324, "5e-324"}, {123.456, "123.456"}, {-2.5e-5, "-2.5e-05"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(json::float_repr(value), text);
  EXPECT_EQ(json::float_repr(std::nan("")), "nan");
  EXPECT_EQ(json::float_repr(-std::numeric_limits<double>::infinity()), "-inf");
}

TEST(JsonNestingDepth, CountsBracketsOutsideStringsOnly) {
  EXPECT_EQ(json::nesting_depth(R"({"a": [1, {"b": []}]})", 10), 4u);
  // Brackets in strings, and an escaped quote that does not end one.
  EXPECT_EQ(json::nesting_depth(R"(["[[[", "\"[[{", {}])", 10), 2u);
  // Stops past the limit, whatever the rest holds.
  EXPECT_GT(json::nesting_depth(std::string(100000, '[') + std::string(100000, ']'), 64), 64u);
  EXPECT_EQ(json::nesting_depth("]]]", 10), 0u);
}
