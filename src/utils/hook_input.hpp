// Standard input of a harness hook. The harness writes its payload and is
// supposed to close the pipe, but a hook must end on time even when it never
// does or when it sends far more than a tool payload: the input is read with
// a deadline and a size cap. Shared by the launcher's first look and the
// command library, so both see the same payload or none.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace brenik::utils {

// A post-tool payload carries a command and a clipped tool response; more
// than this is not a payload worth trusting.
constexpr std::size_t HOOK_INPUT_MAX_BYTES = std::size_t{1} << 20;
// Harnesses write the payload at once; waiting longer only stalls the agent.
constexpr std::chrono::milliseconds HOOK_INPUT_DEADLINE{2000};

// Everything readable from `fd` up to end of input, or what has arrived when
// `deadline` passes first (an input left open after the payload). None when
// more than `max_bytes` arrive, or on a read error. Does not change the
// descriptor's flags (they belong to the caller's caller).
std::optional<std::string> read_bounded(int fd, std::size_t max_bytes, std::chrono::milliseconds deadline);

// read_bounded of standard input with the hook limits above.
std::optional<std::string> read_hook_input();

}  // namespace brenik::utils
