#include "display/output.hpp"

#include <unistd.h>

#include <cstdlib>
#include <iostream>

namespace brenik::display::output {

namespace {

constexpr std::string_view RESET = "\x1b[0m";

struct Style {
  std::string_view colour;  // SGR sequence
  std::string_view symbol;  // prefix, shown only when styled
  std::string_view word;    // prefix in its place when not styled (git's and cargo's)
};

constexpr Style SUCCESS_STYLE{"\x1b[32m", "\xe2\x9c\x93 ", ""};           // green, check mark
constexpr Style INFO_STYLE{"\x1b[36m", "", ""};                           // cyan
constexpr Style WARNING_STYLE{"\x1b[33m", "\xe2\x9a\xa0 ", "warning: "};  // yellow, warning sign
constexpr Style ERROR_STYLE{"\x1b[1;31m", "\xe2\x9c\x97 ", "error: "};    // bold red, ballot x

void write(std::ostream& stream, bool styled, const Style& style, std::string_view text) {
  if (styled)
    stream << style.colour << style.symbol << text << RESET << '\n';
  else
    stream << style.word << text << '\n';
  stream.flush();
}

// Messages on the error stream come after whatever was already printed to
// the output stream when both reach the same terminal or file.
void write_err(const Output& o, const Style& style, std::string_view text) {
  o.out.flush();
  write(o.err, o.err_styled, style, text);
}

}  // namespace

bool styling_allowed(int fd) {
  // The convention: only a non-empty NO_COLOR turns colour off.
  const char* no_color = std::getenv("NO_COLOR");
  if (no_color != nullptr && *no_color != '\0') return false;
  const char* term = std::getenv("TERM");
  if (term != nullptr && std::string_view(term) == "dumb") return false;
  return ::isatty(fd) == 1;
}

std::string paint(bool styled, std::string_view sgr, std::string_view text) {
  if (!styled) return std::string(text);
  std::string s;
  s.reserve(sgr.size() + text.size() + RESET.size());
  s.append(sgr).append(text).append(RESET);
  return s;
}

const Output& standard() {
  static const Output instance{std::cout, std::cerr, styling_allowed(STDOUT_FILENO), styling_allowed(STDERR_FILENO)};
  return instance;
}

void console_print(const Output& o, std::string_view text) {
  o.out << text << '\n';
  o.out.flush();
}

void success(const Output& o, std::string_view text) { write(o.out, o.out_styled, SUCCESS_STYLE, text); }
void info(const Output& o, std::string_view text) { write(o.out, o.out_styled, INFO_STYLE, text); }
void warning(const Output& o, std::string_view text) { write_err(o, WARNING_STYLE, text); }
void error(const Output& o, std::string_view text) { write_err(o, ERROR_STYLE, text); }

void console_print(std::string_view text) { console_print(standard(), text); }
void success(std::string_view text) { success(standard(), text); }
void info(std::string_view text) { info(standard(), text); }
void warning(std::string_view text) { warning(standard(), text); }
void error(std::string_view text) { error(standard(), text); }

}  // namespace brenik::display::output
