// The error kinds of the library. Every error carries a stable kind name
// ("OSError", "TimeoutError", ...) that results and messages report in place
// of a class name, and the place it was thrown, for tracebacks.
//
// How this code base fails, in one place:
// - Inside the library an operation that cannot do its job throws one of
//   the kinds below. Results that report a failure carry its kind (and, where
//   the caller may show it, the message), never a bare catch-all string.
// - An operation documented as best-effort or "never throws" catches at its
//   own boundary through utils::best_effort (a step) or utils::best_effort_or
//   (a value, or its neutral fallback), which log its fixed message (debug
//   level with the traceback unless asked otherwise), and goes on. A read
//   whose failure is itself the answer "none" uses their unlogged form and
//   says why. No other code swallows errors: the few catch-alls left turn a
//   failure into a result, classify it, or hand it to another thread.
// - A command ends through its status: its body prints its refusal through
//   the output operations and returns the status to commands::on_run;
//   whatever escapes a command is caught once in brenik_cli_main, shown as
//   its kind, and ends with status 1 (0 for a hook entry, which never fails
//   the caller).
#pragma once

#include <exception>
#include <source_location>
#include <stdexcept>
#include <string>

#pragma GCC visibility push(default)

namespace brenik {

class Error : public std::runtime_error {
public:
  Error(std::string kind, const std::string& message, std::source_location where = std::source_location::current());

  const std::string& kind() const noexcept { return kind_; }
  const std::source_location& where() const noexcept { return where_; }

private:
  std::string kind_;
  std::source_location where_;
};

// A failure of the operating system: a file, a directory, a child process.
// The kind follows the errno the way a dynamic language names it
// (ENOENT gives "FileNotFoundError", EACCES "PermissionError", else "OSError").
class OSError : public Error {
public:
  OSError(int error_number, const std::string& message, std::source_location where = std::source_location::current());
  int error_number() const noexcept { return errno_; }

private:
  int errno_;
};

#define BRENIK_ERROR_KIND(Name)                                                                             \
  class Name : public Error {                                                                               \
  public:                                                                                                   \
    explicit Name(const std::string& message, std::source_location where = std::source_location::current()) \
        : Error(#Name, message, where) {}                                                                   \
  };

BRENIK_ERROR_KIND(TimeoutError)
BRENIK_ERROR_KIND(ConnectionError)
BRENIK_ERROR_KIND(RuntimeError)
BRENIK_ERROR_KIND(ValueError)
BRENIK_ERROR_KIND(TypeError)
BRENIK_ERROR_KIND(KeyError)
BRENIK_ERROR_KIND(YAMLError)
BRENIK_ERROR_KIND(UnsafeSlugError)
#undef BRENIK_ERROR_KIND

// A JSON text that does not decode. The message is the decoder's description
// without the position ("Expecting value"); what() gives the full text
// "Expecting value: line 1 column 1 (char 0)".
class JSONDecodeError : public Error {
public:
  JSONDecodeError(const std::string& msg, std::size_t pos, std::size_t lineno, std::size_t colno,
                  std::source_location where = std::source_location::current());
  const std::string& msg() const noexcept { return msg_; }
  std::size_t pos() const noexcept { return pos_; }
  std::size_t lineno() const noexcept { return lineno_; }
  std::size_t colno() const noexcept { return colno_; }

private:
  std::string msg_;
  std::size_t pos_, lineno_, colno_;
};

// OSError from the current errno, with "what: strerror" as message.
[[noreturn]] void throw_os_error(const std::string& what, std::source_location where = std::source_location::current());
OSError os_error_from_errno(int error_number, const std::string& what,
                            std::source_location where = std::source_location::current());

// The kind name of any exception: ours give kind(); foreign ones are mapped
// at this boundary (std::filesystem errors to OSError kinds, YAML-cpp errors
// to "YAMLError", bad_alloc to "MemoryError", anything else "RuntimeError").
std::string error_kind(const std::exception& e);
std::string error_kind(const std::exception_ptr& e);

// "Kind: message", the text a capture result carries as its reason.
std::string error_summary(const std::exception& e);

// Kind, message and, for our own errors, where it was thrown: the traceback
// that debug messages attach.
std::string traceback(const std::exception& e);
std::string traceback(const std::exception_ptr& e);

}  // namespace brenik

#pragma GCC visibility pop
