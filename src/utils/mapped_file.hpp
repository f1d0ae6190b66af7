// A whole file mapped read-only for scanning (the attestation log reaches
// tens of megabytes and is read by every trigger). Empty files and files that
// cannot be mapped fall back to an ordinary read.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "utils/file_stamp.hpp"

namespace brenik::utils {

class MappedFile {
public:
  // Throws OSError when the file cannot be opened or read.
  explicit MappedFile(const std::filesystem::path& path);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  std::string_view view() const noexcept { return view_; }
  // The file as it was opened; the view holds stamp().size bytes.
  const FileStamp& stamp() const noexcept { return stamp_; }

  // Faults in [offset, offset + length) before a scan of it: one call instead
  // of a fault per page (and two threads can each fault in their half). Pages
  // not faulted in come in as they are touched; a no-op where the kernel
  // cannot.
  void prefault(std::size_t offset, std::size_t length) const noexcept;

private:
  void* map_ = nullptr;
  std::size_t size_ = 0;
  std::string fallback_;
  std::string_view view_;
  FileStamp stamp_;
};

}  // namespace brenik::utils
