#include "support/python_oracle.hpp"

#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "support/temp_repo.hpp"
#include "utils/process.hpp"

namespace brenik::testing {

bool oracle_required() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

bool python_available(const std::string& module) {
  const std::string code = module.empty() ? "pass" : "import " + module;
  return utils::run({"python3", "-c", code}).ok();
}

std::vector<std::string> run_python(const std::string& script, const std::string& input) {
  TempDir dir;
  write_file(dir.path() / "script.py", script);
  write_file(dir.path() / "input.txt", input);
  auto r = utils::run({"python3", (dir.path() / "script.py").string(), (dir.path() / "input.txt").string()},
                      {.timeout_seconds = 120.0});
  if (!r.ok()) throw std::runtime_error("python failed: " + r.out + r.err);
  std::vector<std::string> lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace brenik::testing
