// Reading a small file that the repository, not this tool, controls: a hook
// must neither follow it to a secret elsewhere, nor wait on a pipe or device
// behind it, nor load more of it than any sane content could need.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace brenik::utils {

// The file's bytes, or none when it holds more than `max_bytes`. Throws
// OSError when it cannot be opened or read, when its last component is a
// symbolic link (ELOOP), or when it is not a regular file (EINVAL).
std::optional<std::string> read_small_regular_file(const std::filesystem::path& path, std::size_t max_bytes);

}  // namespace brenik::utils
