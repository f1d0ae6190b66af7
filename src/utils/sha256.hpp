#pragma once

#include <string>
#include <string_view>

#pragma GCC visibility push(default)

namespace brenik::utils {

// Lowercase hexadecimal SHA-256 of the bytes.
std::string sha256_hex(std::string_view bytes);

}  // namespace brenik::utils

#pragma GCC visibility pop
