// The cheap first look at a harness post-tool payload. It may say "maybe" for
// a payload the full check then rejects, never "no" for one it would accept.
#pragma once

#include <string_view>

namespace brenik::launcher {

// False only when the payload is certainly not a Bash `git commit`: it never
// says "commit", or it parses as JSON that is not an object, whose tool_name
// is not exactly "Bash", that has no text command, or whose command has no
// line holding "git" followed by "commit".
bool may_be_commit_payload(std::string_view payload);

}  // namespace brenik::launcher
