// `brenik status` on hand-built logs.
#include <gtest/gtest.h>

#include "support/temp_repo.hpp"
#include "utils/json.hpp"

namespace brenik::testing {
namespace {

const std::string A(40, 'a'), B(40, 'b'), C(64, 'c');

TEST(StatusCli, CountsWhatTheLogHolds) {
  TempRepo repo;
  write_file(repo.root() / ".brenik/.platform/log.jsonl",
             "{\"commit\": \"" + A + "\", \"agent\": \"claude-code\", \"summary\": \"first\", \"synced\": true}\n"
             "not json\n[1]\n\n"
             "{\"commit\": \"" + B + "\", \"agent\": \"unknown\", \"summary\": \"second\", \"synced\": false, \"event\": \"commit_unattested\"}\n"
             "{\"commit\": \"unknown\", \"summary\": \"third\", \"synced\": false}\n"
             "{\"commit\": \"" + C + "\", \"agent\": \"codex\", \"summary\": \"fourth\", \"synced\": false}\n");
  auto r = run_binary("brenik", {"status", "--json"}, {.cwd = repo.root()});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  auto v = json::loads(r.out);
  EXPECT_EQ(v["records"], 4);
  EXPECT_EQ(v["attested"], 3);
  EXPECT_EQ(v["unattested"], 1);
  EXPECT_EQ(v["pending"], 2);
  EXPECT_EQ(v["uploaded"], 1);
  EXPECT_EQ(v["unaddressable"], 1);
  EXPECT_EQ(v["corrupt"], 2);
  EXPECT_EQ(v["set_up"], false);
  ASSERT_EQ(v["recent"].size(), 4u);
  EXPECT_EQ(v["recent"][3]["summary"], "fourth");

  r = run_binary("brenik", {"status", "-n", "2"}, {.cwd = repo.root(), .env = {{"NO_COLOR", "1"}}});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("Corrupt lines         2"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("fourth"), std::string::npos);
  EXPECT_EQ(r.out.find("second"), std::string::npos);  // only the last two records
  EXPECT_NE(r.out.find("third"), std::string::npos);
}

TEST(StatusCli, EmptyRepositoryGivesZerosAndNoRepositoryExitsOne) {
  TempRepo repo;
  auto r = run_binary("brenik", {"status", "--json"}, {.cwd = repo.root()});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  auto v = json::loads(r.out);
  EXPECT_EQ(v["records"], 0);
  EXPECT_EQ(v["pending"], 0);
  EXPECT_TRUE(v["recent"].empty());
  TempDir plain;
  r = run_binary("brenik", {"status"}, {.cwd = plain.path()});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE((r.out + r.err).find("Not inside a git repository"), std::string::npos);
}

}  // namespace
}  // namespace brenik::testing
