#include "utils/mapped_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "utils/errors.hpp"
#include "utils/fs.hpp"

namespace brenik::utils {

MappedFile::MappedFile(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw_os_error(path.string());
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    int e = errno;
    ::close(fd);
    throw os_error_from_errno(e, path.string());
  }
  if (S_ISREG(st.st_mode) && st.st_size > 0) {
    void* m = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (m != MAP_FAILED) {
      map_ = m;
      size_ = static_cast<std::size_t>(st.st_size);
      ::madvise(map_, size_, MADV_SEQUENTIAL);
      view_ = std::string_view(static_cast<const char*>(map_), size_);
      ::close(fd);
      return;
    }
  }
  ::close(fd);
  fallback_ = read_file(path);
  view_ = fallback_;
}

MappedFile::~MappedFile() {
  if (map_) ::munmap(map_, size_);
}

}  // namespace brenik::utils
