// The one way best-effort code swallows a failure: what it logs, at which
// level, and what a failed lookup answers.
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "support/log_capture.hpp"
#include "utils/best_effort.hpp"
#include "utils/errors.hpp"

namespace {

using brenik::testing::LogCapture;
namespace utils = brenik::utils;

TEST(BestEffort, AFailedStepIsLoggedOnceAndGoesNoFurther) {
  LogCapture log;
  bool after = false;
  utils::best_effort("Index save failed (best-effort)", {}, [] { throw std::runtime_error("disk full"); });
  after = true;
  EXPECT_TRUE(after);
  ASSERT_EQ(log.lines().size(), 1u) << log.all();
  EXPECT_EQ(log.lines()[0], "WARNING Index save failed (best-effort)");
}

TEST(BestEffort, AQuietStepLogsAtDebugWithTheTraceback) {
  LogCapture log;
  utils::best_effort("State not written", {.audible = false}, [] { throw brenik::ValueError("bad state"); });
  ASSERT_EQ(log.lines().size(), 1u) << log.all();
  EXPECT_EQ(log.lines()[0].rfind("DEBUG State not written\n", 0), 0u) << log.all();
  EXPECT_TRUE(log.has("ValueError: bad state")) << log.all();
}

TEST(BestEffort, TheReasonFormGivesTheErrorText) {
  LogCapture log;
  utils::best_effort("Skills cache failed (non-fatal)", {.audible = false, .detail = utils::Detail::reason},
                     [] { throw std::runtime_error("no space"); });
  utils::best_effort("Memory cache failed (non-fatal)", {.audible = false, .detail = utils::Detail::reason},
                     [] { throw 42; });
  utils::best_effort("Records not saved", {.detail = utils::Detail::reason},
                     [] { throw std::runtime_error("read-only"); });
  EXPECT_EQ(log.all(),
            "DEBUG Skills cache failed (non-fatal): no space\n"
            "DEBUG Memory cache failed (non-fatal): unknown error\n"
            "WARNING Records not saved: read-only\n");
}

TEST(BestEffort, ThePlainFormGivesTheMessageAlone) {
  LogCapture log;
  utils::best_effort("Adapter lookup failed (non-fatal)", {.audible = false, .detail = utils::Detail::none},
                     [] { throw std::runtime_error("no config"); });
  EXPECT_EQ(log.all(), "DEBUG Adapter lookup failed (non-fatal)\n");
}

TEST(BestEffort, AStepThatSucceedsLogsNothing) {
  LogCapture log;
  int runs = 0;
  utils::best_effort("never", {}, [&] { ++runs; });
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(utils::best_effort_or(0, "never", {}, [] { return 7; }), 7);
  EXPECT_TRUE(log.lines().empty()) << log.all();
}

TEST(BestEffortOr, AFailedLookupAnswersTheFallbackAfterLogging) {
  LogCapture log;
  const auto value = utils::best_effort_or(std::nullopt, "Session lookup failed", {.audible = false},
                                           []() -> std::optional<std::string> { throw std::runtime_error("gone"); });
  EXPECT_FALSE(value);
  const std::string text =
      utils::best_effort_or("fallback", "Reading failed", {.audible = false}, []() -> std::string { throw 1; });
  EXPECT_EQ(text, "fallback");
  ASSERT_EQ(log.lines().size(), 2u) << log.all();
  EXPECT_EQ(log.lines()[0].rfind("DEBUG Session lookup failed\n", 0), 0u) << log.all();
  EXPECT_EQ(log.lines()[1].rfind("DEBUG Reading failed\n", 0), 0u) << log.all();
}

TEST(BestEffortOr, TheUnloggedFormsSayNothing) {
  LogCapture log;
  EXPECT_EQ(utils::best_effort_or(false, utils::unlogged, []() -> bool { throw std::runtime_error("no file"); }),
            false);
  EXPECT_EQ(utils::best_effort_or(false, utils::unlogged, [] { return true; }), true);
  bool ran = false;
  utils::best_effort(utils::unlogged, [&] {
    ran = true;
    throw std::runtime_error("ignored");
  });
  EXPECT_TRUE(ran);
  EXPECT_TRUE(log.lines().empty()) << log.all();
}

}  // namespace
