// Python as the oracle of the JSON and YAML tests: what python3 (and PyYAML)
// write and read is what ours must write and read.
#pragma once

#include <string>
#include <vector>

namespace brenik::testing {

// python3 runs and, when `module` is given, can import it.
bool python_available(const std::string& module = "");

// Whether a missing oracle must fail the test rather than skip it: in CI
// (CI=true), where a skip would hide that nothing was compared.
bool oracle_required();

// Runs `script` with the path of a file holding `input` as its argument;
// returns its standard output split into lines. Throws std::runtime_error
// with the output when python fails.
std::vector<std::string> run_python(const std::string& script, const std::string& input);

}  // namespace brenik::testing
