// What the two shared libraries export: the command library its one entry
// point, the service library its public operations and none of its
// internals.
#include <gtest/gtest.h>

#include <sstream>

#include "support/temp_repo.hpp"
#include "utils/process.hpp"

namespace brenik::testing {
namespace {

// The demangled names of the symbols the library defines in its dynamic
// symbol table.
std::vector<std::string> exported(const std::string& library) {
  const auto r = utils::run(
      {"nm", "-D", "--defined-only", "--format=just-symbols", "-C", (fs::path(BRENIK_BINARY_DIR) / library).string()},
      {.timeout_seconds = 60.0});
  EXPECT_TRUE(r.ok()) << r.err;
  std::vector<std::string> names;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) names.push_back(line);
  return names;
}

bool has(const std::vector<std::string>& names, const std::string& prefix) {
  for (const auto& n : names)
    if (n.starts_with(prefix)) return true;
  return false;
}

TEST(LibraryExports, CommandLibraryExportsItsEntryPointOnly) {
  EXPECT_EQ(exported("libbrenik-cli.so"), std::vector<std::string>{"brenik_cli_main"});
}

TEST(LibraryExports, ServiceLibraryExportsPublicOperationsNotInternals) {
  const auto names = exported("libtolvern.so");
  // Public operations the command line and the server call.
  EXPECT_TRUE(has(names, "brenik::services::tolvern::record_commit("));
  EXPECT_TRUE(has(names, "brenik::services::tolvern::tracked_files("));
  EXPECT_TRUE(has(names, "brenik::json::loads"));
  EXPECT_TRUE(has(names, "brenik::utils::sha256_hex"));
  // Nothing of a module's own business (a parameter may still be of such a
  // type).
  for (const auto& n : names) {
    const std::string name = n.substr(0, n.find('('));
    if (!name.starts_with("brenik::")) continue;
    EXPECT_EQ(name.find("::detail::"), std::string::npos) << n;
  }
  EXPECT_FALSE(has(names, "brenik::services::tolvern::detail::git("));
  EXPECT_FALSE(has(names, "brenik::services::tolvern::detail::file_attestation("));
}

}  // namespace
}  // namespace brenik::testing
