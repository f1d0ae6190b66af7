// The wall clock in UTC.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#pragma GCC visibility push(default)

namespace brenik::utils {

// Seconds since the epoch, with fraction.
double now_epoch();

// strftime of the current UTC time; "%Y-%m-%dT%H:%M:%SZ" by default.
std::string utc_now_iso(const char* format = "%Y-%m-%dT%H:%M:%SZ");

// ISO 8601 date-time ("2024-05-01T10:00:00.900+02:00", "...Z", a space
// instead of T accepted) to epoch seconds with fraction; a text without
// offset is taken as UTC. None when it does not parse.
std::optional<double> parse_iso8601(std::string_view text);

}  // namespace brenik::utils

#pragma GCC visibility pop
