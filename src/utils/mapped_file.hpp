// A whole file mapped read-only for scanning (the attestation log reaches
// tens of megabytes and is read by every trigger). Empty files and files that
// cannot be mapped fall back to an ordinary read.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace brenik::utils {

class MappedFile {
public:
  // Throws OSError when the file cannot be opened or read.
  explicit MappedFile(const std::filesystem::path& path);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  std::string_view view() const noexcept { return view_; }

private:
  void* map_ = nullptr;
  std::size_t size_ = 0;
  std::string fallback_;
  std::string_view view_;
};

}  // namespace brenik::utils
