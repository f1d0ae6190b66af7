// A fast reader for the plain block YAML that brenik's own writer gives an
// archived attestation: mappings and sequences in block style, plain and
// single-quoted one-line scalars. Exporting reads thousands of these, and the
// general loader spends most of an export's time on them. Anything outside
// that subset (comments, flow collections, anchors, tags, double quotes,
// block scalars, continuation lines, odd keys...) gets no answer, and the
// caller reads the text with the YAML loader; where it answers, it answers
// exactly what the loader would.
#pragma once

#include <optional>
#include <string_view>

#include "utils/json.hpp"

namespace brenik::services::tolvern::detail {

std::optional<json::Value> read_block_yaml(std::string_view text);

}  // namespace brenik::services::tolvern::detail
