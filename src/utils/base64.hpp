// Standard base64 (RFC 4648 alphabet, with padding), as DSSE envelopes and
// armored SSH signatures carry bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brenik::utils {

std::string base64_encode(std::string_view bytes);

// The bytes, or none when the text is not canonical padded base64. Line
// breaks are not accepted: callers remove them where a format allows them.
std::optional<std::string> base64_decode(std::string_view text);

}  // namespace brenik::utils
