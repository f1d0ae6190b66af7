// Registering the brenik MCP server in the agents' configuration files:
// merged with what is there, idempotent to the byte, never through a link,
// and a file that does not parse left as it is.
#include <gtest/gtest.h>

#define TOML_HEADER_ONLY 1
#include <toml++/toml.h>

#include "hooks/mcp_registration.hpp"
#include "support/temp_repo.hpp"
#include "utils/errors.hpp"
#include "utils/json.hpp"

namespace brenik::testing {
namespace {

namespace reg = hooks::mcp_registration;
using hooks::installer::Status;

const std::vector<std::string> ARGS = {"mcp"};

TEST(McpJsonMerge, OurEntryJoinsTheOthersOnceAndKeepsTheirTextAndUtf8) {
  const std::string text =
      "{\n  \"mcpServers\": {\n    \"other\": {\"command\": \"ötool\", \"args\": [\"--x\"], \"env\": {\"K\": \"v\"}}\n"
      "  },\n  \"unrelated\": [1, 2.5, null]\n}\n";
  const auto merged = reg::detail::merged_json_config(text, "/opt/brenik", ARGS);
  ASSERT_TRUE(merged);
  EXPECT_NE(merged->find("\"ötool\""), std::string::npos) << *merged;  // UTF-8 kept, no \u escape
  const auto v = json::loads(*merged);
  EXPECT_EQ(v["mcpServers"]["other"], json::loads(R"({"command": "ötool", "args": ["--x"], "env": {"K": "v"}})"));
  EXPECT_EQ(v["mcpServers"]["brenik"], json::loads(R"({"command": "/opt/brenik", "args": ["mcp"]})"));
  EXPECT_EQ(v["unrelated"], json::loads("[1, 2.5, null]"));
  // Members keep their order: ours come last.
  EXPECT_EQ(v["mcpServers"].begin().key(), "other");
  EXPECT_FALSE(reg::detail::merged_json_config(*merged, "/opt/brenik", ARGS));
}

TEST(McpJsonMerge, TheFileIsEditedInPlaceInItsOwnLayout) {
  const auto merged = reg::detail::merged_json_config(
      "{\n  \"mcpServers\": {\n    \"db\": {\"command\": \"db-mcp\"}\n  }\n}\n", "/opt/brenik", ARGS);
  ASSERT_TRUE(merged);
  EXPECT_EQ(*merged,
            "{\n  \"mcpServers\": {\n    \"db\": {\"command\": \"db-mcp\"},\n    \"brenik\": {\n"
            "      \"command\": \"/opt/brenik\",\n      \"args\": [\"mcp\"]\n    }\n  }\n}\n");
  // A stale command is replaced where it stands.
  const auto corrected = reg::detail::merged_json_config(
      "{\"mcpServers\": {\"brenik\": {\"command\": \"/old\", \"args\": [\"mcp\"], \"timeout\": 5}}} \n", "/new", ARGS);
  ASSERT_TRUE(corrected);
  EXPECT_EQ(*corrected,
            "{\"mcpServers\": {\"brenik\": {\"command\": \"/new\", \"args\": [\"mcp\"], \"timeout\": 5}}} \n");
}

TEST(McpJsonMerge, AStaleEntryIsCorrectedKeepingWhatTheUserAddedToIt) {
  const auto merged = reg::detail::merged_json_config(
      R"({"mcpServers": {"brenik": {"command": "/old/brenik", "args": ["mcp"], "env": {"BRENIK_DEBUG": "1"}}}})",
      "/new/brenik", ARGS);
  ASSERT_TRUE(merged);
  EXPECT_EQ(json::loads(*merged)["mcpServers"]["brenik"],
            json::loads(R"({"command": "/new/brenik", "args": ["mcp"], "env": {"BRENIK_DEBUG": "1"}})"));
  EXPECT_TRUE(reg::detail::merged_json_config(R"({"mcpServers": {"brenik": {"command": "/new/brenik"}}})",
                                              "/new/brenik", ARGS));
  // Empty or blank: a new file.
  for (const char* empty : {"", " \n"}) {
    const auto created = reg::detail::merged_json_config(empty, "brenik", ARGS);
    ASSERT_TRUE(created);
    EXPECT_EQ(json::loads(*created),
              json::loads(R"({"mcpServers": {"brenik": {"command": "brenik", "args": ["mcp"]}}})"));
  }
}

TEST(McpJsonMerge, TextThatIsNotAConfigurationIsRefused) {
  for (const char* text :
       {"{\"mcpServers\": {", "// comment\n{}", "[1]", "\"x\"", R"({"mcpServers": []})", R"({"mcpServers": "brenik"})"})
    EXPECT_THROW(reg::detail::merged_json_config(text, "brenik", ARGS), ValueError) << text;
}

TEST(McpTomlMerge, AMissingEntryIsAppendedAndTheUsersTextStaysAsWritten) {
  const std::string text =
      "# my codex settings\nmodel = \"o3\"   # keep this comment\n\n[mcp_servers.other]\ncommand = \"tool\"\n"
      "args = [\"a\", \"é\"]\n\n[profiles.fast]\nmodel = \"o4-mini\"\n";
  const auto merged = reg::detail::merged_codex_toml(text, "/opt/brénik", ARGS);
  ASSERT_TRUE(merged);
  EXPECT_EQ(merged->substr(0, text.size()), text);  // comments, order and layout untouched
  const toml::table t = toml::parse(*merged);
  EXPECT_EQ(t["mcp_servers"]["brenik"]["command"].value<std::string>(), "/opt/brénik");
  ASSERT_TRUE(t["mcp_servers"]["brenik"]["args"].as_array());
  EXPECT_EQ(*t["mcp_servers"]["brenik"]["args"].as_array(), toml::array{"mcp"});
  EXPECT_EQ(t["mcp_servers"]["other"]["command"].value<std::string>(), "tool");
  EXPECT_EQ(t["profiles"]["fast"]["model"].value<std::string>(), "o4-mini");
  EXPECT_FALSE(reg::detail::merged_codex_toml(*merged, "/opt/brénik", ARGS));
  // A file without a final newline still gets a well-formed table.
  const auto no_newline = reg::detail::merged_codex_toml("model = \"o3\"", "brenik", ARGS);
  ASSERT_TRUE(no_newline);
  EXPECT_EQ(toml::parse(*no_newline)["model"].value<std::string>(), "o3");
  EXPECT_FALSE(reg::detail::merged_codex_toml(*no_newline, "brenik", ARGS));
}

TEST(McpTomlMerge, EntriesNeitherEditFitsAreRewrittenByTheLibrary) {
  // An inline table cannot take another table; an entry without `args` has
  // no value to correct in place.
  for (const char* text : {"mcp_servers = { other = { command = \"tool\" } }\n",
                           "[mcp_servers.brenik]\ncommand = \"/old/brenik\"\nstartup_timeout_sec = 20\n"}) {
    const auto merged = reg::detail::merged_codex_toml(text, "/new/brenik", ARGS);
    ASSERT_TRUE(merged) << text;
    const toml::table t = toml::parse(*merged);
    EXPECT_EQ(t["mcp_servers"]["brenik"]["command"].value<std::string>(), "/new/brenik") << *merged;
    EXPECT_FALSE(reg::detail::merged_codex_toml(*merged, "/new/brenik", ARGS)) << *merged;
  }
  const auto merged = reg::detail::merged_codex_toml(
      "[mcp_servers.brenik]\ncommand = \"/old/brenik\"\nstartup_timeout_sec = 20\n", "/new/brenik", ARGS);
  EXPECT_EQ(toml::parse(*merged)["mcp_servers"]["brenik"]["startup_timeout_sec"].value<int>(), 20);
  EXPECT_EQ(toml::parse(reg::detail::merged_codex_toml("mcp_servers = { other = { command = \"tool\" } }\n",
                                                       "/new/brenik", ARGS)
                            .value())["mcp_servers"]["other"]["command"]
                .value<std::string>(),
            "tool");
}

TEST(McpTomlMerge, AStaleEntryIsCorrectedWhereItStandsKeepingCommentsAndOrder) {
  const std::string text =
      "# ours, moved\n[mcp_servers.brenik]\ncommand = \"/old/brénik\"  # installed by hand\nargs = [\n  \"serve\",\n]\n"
      "startup_timeout_sec = 20\n\n[mcp_servers.other] # theirs\ncommand = \"tool\"\n";
  const auto merged = reg::detail::merged_codex_toml(text, "/new/brénik", ARGS);
  ASSERT_TRUE(merged);
  EXPECT_EQ(*merged,
            "# ours, moved\n[mcp_servers.brenik]\ncommand = '/new/brénik'  # installed by hand\nargs = [ 'mcp' ]\n"
            "startup_timeout_sec = 20\n\n[mcp_servers.other] # theirs\ncommand = \"tool\"\n");
  EXPECT_FALSE(reg::detail::merged_codex_toml(*merged, "/new/brénik", ARGS));
  // An inline entry is corrected the same way.
  const auto inline_entry = reg::detail::merged_codex_toml(
      "mcp_servers.brenik = { command = \"/old\", args = [\"mcp\"], env = { A = \"1\" } } # kept\n", "/new", ARGS);
  ASSERT_TRUE(inline_entry);
  EXPECT_EQ(*inline_entry, "mcp_servers.brenik = { command = '/new', args = [ 'mcp' ], env = { A = \"1\" } } # kept\n");
}

TEST(McpTomlMerge, TextThatIsNotAConfigurationIsRefused) {
  for (const char* text : {"model = = 1\n", "[mcp_servers\n", "mcp_servers = 3\n", "mcp_servers = [1]\n"})
    EXPECT_THROW(reg::detail::merged_codex_toml(text, "brenik", ARGS), ValueError) << text;
}

class McpRegistration : public ::testing::Test {
protected:
  fs::path root() const { return repo.root(); }
  std::vector<hooks::installer::StepReport> run(const std::vector<std::string>& agents, bool with_home = true) {
    return reg::register_mcp_server(
        root(), agents,
        {.brenik = "/opt/brenik", .home = with_home ? std::optional<fs::path>(home.path()) : std::nullopt});
  }
  static std::vector<Status> statuses(const std::vector<hooks::installer::StepReport>& steps) {
    std::vector<Status> s;
    for (const auto& r : steps) s.push_back(r.status);
    return s;
  }
  TempRepo repo;
  TempDir home;
};

TEST_F(McpRegistration, EachAgentsFileGetsOurEntryAndASecondRunChangesNoByte) {
  write_file(root() / ".mcp.json", R"({"mcpServers": {"db": {"command": "dbserver"}}})");
  fs::create_directories(root() / ".codex");
  fs::create_directories(root() / ".cursor");
  const std::vector<std::string> agents = {"claude-code", "Codex", "cursor", "windsurf"};
  EXPECT_EQ(statuses(run(agents)), std::vector<Status>(4, Status::changed));
  const std::vector<fs::path> files = {root() / ".mcp.json", root() / ".codex" / "config.toml",
                                       root() / ".cursor" / "mcp.json",
                                       home.path() / ".codeium" / "windsurf" / "mcp_config.json"};
  std::vector<std::string> first;
  for (const auto& f : files) first.push_back(read_file(f));
  const auto claude = json::loads(first[0]);
  EXPECT_EQ(claude["mcpServers"]["db"], json::loads(R"({"command": "dbserver"})"));
  EXPECT_EQ(claude["mcpServers"]["brenik"]["command"], "/opt/brenik");
  EXPECT_EQ(json::loads(first[2])["mcpServers"]["brenik"]["args"],
            json::loads(R"(["mcp", "--repo", "${workspaceFolder}"])"));
  EXPECT_EQ(toml::parse(first[1])["mcp_servers"]["brenik"]["command"].value<std::string>(), "/opt/brenik");

  EXPECT_EQ(statuses(run(agents)), std::vector<Status>(4, Status::unchanged));
  for (std::size_t i = 0; i < files.size(); ++i) EXPECT_EQ(read_file(files[i]), first[i]) << files[i];
}

TEST_F(McpRegistration, AFileThatDoesNotParseIsLeftUntouchedAndTheOthersStillRegister) {
  const std::string broken_json = "{\"mcpServers\": {\"db\": ";
  const std::string broken_toml = "[mcp_servers.db\ncommand = 1\n";
  write_file(root() / ".mcp.json", broken_json);
  fs::create_directories(root() / ".codex");
  write_file(root() / ".codex" / "config.toml", broken_toml);
  fs::create_directories(root() / ".cursor");
  const auto steps = run({"claude-code", "codex", "cursor"});
  ASSERT_EQ(statuses(steps), (std::vector<Status>{Status::failed, Status::failed, Status::changed}));
  EXPECT_EQ(steps[0].detail, (root() / ".mcp.json").string() + ": not valid JSON; left untouched");
  EXPECT_NE(steps[1].detail.find("config.toml: the file is not valid TOML (line "), std::string::npos)
      << steps[1].detail;
  EXPECT_EQ(read_file(root() / ".mcp.json"), broken_json);
  EXPECT_EQ(read_file(root() / ".codex" / "config.toml"), broken_toml);
  EXPECT_TRUE(fs::exists(root() / ".cursor" / "mcp.json"));
}

TEST_F(McpRegistration, NothingIsWrittenThroughALinkInTheRepository) {
  TempDir outside;
  // A folder on the way that is a link, and a file that is one.
  fs::create_directory_symlink(outside.path(), root() / ".cursor");
  write_file(outside.path() / "target.json", "{}");
  fs::create_symlink(outside.path() / "target.json", root() / ".mcp.json");
  const auto steps = run({"claude-code", "cursor"});
  EXPECT_EQ(statuses(steps), (std::vector<Status>{Status::failed, Status::failed}));
  EXPECT_EQ(read_file(outside.path() / "target.json"), "{}");
  EXPECT_FALSE(fs::exists(outside.path() / "mcp.json"));
  EXPECT_TRUE(fs::is_symlink(root() / ".mcp.json"));
}

TEST_F(McpRegistration, AHarnessFolderTheRepositoryLacksIsNotCreated) {
  write_file(root() / ".cursorrules", "rules\n");  // Cursor, found without its folder
  const auto steps = run({"codex", "cursor"});
  EXPECT_EQ(statuses(steps), (std::vector<Status>{Status::skipped, Status::skipped}));
  EXPECT_NE(steps[0].detail.find(".codex/config.toml"), std::string::npos) << steps[0].detail;
  EXPECT_FALSE(fs::exists(root() / ".codex"));
  EXPECT_FALSE(fs::exists(root() / ".cursor"));
  EXPECT_EQ(statuses(reg::register_mcp_server(root(), std::nullopt, {.brenik = "/opt/brenik"})),
            std::vector<Status>{Status::skipped});
}

TEST_F(McpRegistration, TheUsersHomeIsEditedOnlyWhenGivenAndAgentsDefaultToThoseFound) {
  fs::create_directories(root() / ".windsurf");
  fs::create_directories(root() / ".claude");
  const auto steps = run({}, false);
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0].status, Status::changed);  // claude-code, found by its folder
  EXPECT_EQ(steps[1].status, Status::skipped);  // windsurf keeps its file in the home
  EXPECT_FALSE(fs::exists(home.path() / ".codeium"));
  EXPECT_TRUE(fs::exists(root() / ".mcp.json"));
  EXPECT_FALSE(fs::exists(root() / ".codex"));
  EXPECT_FALSE(fs::exists(root() / ".cursor"));
}

}  // namespace
}  // namespace brenik::testing
