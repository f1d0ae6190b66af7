// The command-line tool's console output: plain text for `console_print`,
// and four message kinds (success, info, warning, error) that are styled
// only on a terminal and only when NO_COLOR is not set. Off a terminal the
// text is written as given, one message per line, errors and warnings after
// "error: " and "warning: " (where a terminal shows their symbol).
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>

namespace brenik::display::output {

// Where the messages go. Successes, infos and plain prints go to `out`,
// warnings and errors to `err`; each flag says whether that stream may
// carry colour and symbols.
struct Output {
  std::ostream& out;
  std::ostream& err;
  bool out_styled = false;
  bool err_styled = false;
};

// Whether text written to the file descriptor may be styled: it is a
// terminal that is not TERM=dumb, and NO_COLOR is unset or empty.
bool styling_allowed(int fd);

// `text` in the SGR colour `sgr` when `styled`, else as it is.
std::string paint(bool styled, std::string_view sgr, std::string_view text);

// Standard output and standard error, styling decided once on first use.
const Output& standard();

void console_print(const Output& o, std::string_view text);
void success(const Output& o, std::string_view text);
void info(const Output& o, std::string_view text);
void warning(const Output& o, std::string_view text);
void error(const Output& o, std::string_view text);

// The same on the standard streams.
void console_print(std::string_view text);
void success(std::string_view text);
void info(std::string_view text);
void warning(std::string_view text);
void error(std::string_view text);

}  // namespace brenik::display::output
