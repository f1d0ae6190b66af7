// Texts that ship with the tool and are written into repositories.
#pragma once

#include <string>

#pragma GCC visibility push(default)

namespace brenik::hooks::scripts {

// The example pending attestation: every field an agent writes, each with a
// comment saying what it holds, between "---" lines exactly like the file
// `brenik attest` writes. It passes the attestation field validator.
std::string example_attestation();

}  // namespace brenik::hooks::scripts

#pragma GCC visibility pop
