#include "utils/errors.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <new>
#include <yaml-cpp/exceptions.h>

namespace brenik {

namespace {

std::string os_kind(int error_number) {
  switch (error_number) {
    case ENOENT: return "FileNotFoundError";
    case EACCES:
    case EPERM: return "PermissionError";
    case EEXIST: return "FileExistsError";
    case ENOTDIR: return "NotADirectoryError";
    case EISDIR: return "IsADirectoryError";
    case ETIMEDOUT: return "TimeoutError";
    case ECONNREFUSED: return "ConnectionRefusedError";
    default: return "OSError";
  }
}

}  // namespace

Error::Error(std::string kind, const std::string& message, std::source_location where)
    : std::runtime_error(message), kind_(std::move(kind)), where_(where) {}

OSError::OSError(int error_number, const std::string& message, std::source_location where)
    : Error(os_kind(error_number), message, where), errno_(error_number) {}

static std::string decode_error_text(const std::string& msg, std::size_t pos, std::size_t lineno, std::size_t colno) {
  return msg + ": line " + std::to_string(lineno) + " column " + std::to_string(colno) + " (char " +
         std::to_string(pos) + ")";
}

JSONDecodeError::JSONDecodeError(const std::string& msg, std::size_t pos, std::size_t lineno, std::size_t colno,
                                 std::source_location where)
    : Error("JSONDecodeError", decode_error_text(msg, pos, lineno, colno), where),
      msg_(msg),
      pos_(pos),
      lineno_(lineno),
      colno_(colno) {}

OSError os_error_from_errno(int error_number, const std::string& what, std::source_location where) {
  return OSError(error_number,
                 "[Errno " + std::to_string(error_number) + "] " + std::strerror(error_number) + ": " + what, where);
}

void throw_os_error(const std::string& what, std::source_location where) {
  throw os_error_from_errno(errno, what, where);
}

std::string error_kind(const std::exception& e) {
  if (const auto* ours = dynamic_cast<const Error*>(&e)) return ours->kind();
  if (const auto* fs = dynamic_cast<const std::filesystem::filesystem_error*>(&e)) return os_kind(fs->code().value());
  if (const auto* sys = dynamic_cast<const std::system_error*>(&e)) return os_kind(sys->code().value());
  if (dynamic_cast<const YAML::Exception*>(&e)) return "YAMLError";
  if (dynamic_cast<const std::bad_alloc*>(&e)) return "MemoryError";
  if (dynamic_cast<const std::out_of_range*>(&e)) return "IndexError";
  if (dynamic_cast<const std::invalid_argument*>(&e)) return "ValueError";
  return "RuntimeError";
}

std::string error_kind(const std::exception_ptr& e) {
  try {
    if (e) std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    return error_kind(ex);
  } catch (...) {  // classifying: not a standard exception, so the generic kind
  }
  return "RuntimeError";
}

std::string error_summary(const std::exception& e) { return error_kind(e) + ": " + e.what(); }

std::string traceback(const std::exception& e) {
  std::string text = "Traceback:\n";
  if (const auto* ours = dynamic_cast<const Error*>(&e)) {
    const auto& w = ours->where();
    text +=
        std::string("  raised in ") + w.function_name() + " (" + w.file_name() + ":" + std::to_string(w.line()) + ")\n";
  }
  text += error_summary(e);
  return text;
}

std::string traceback(const std::exception_ptr& e) {
  try {
    if (e) std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    return traceback(ex);
  } catch (...) {  // classifying: not a standard exception, so no text to show
  }
  return "Traceback:\nRuntimeError: unknown error";
}

}  // namespace brenik
