#include "utils/mapped_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "utils/errors.hpp"
#include "utils/fs.hpp"
#include "utils/unique_fd.hpp"

namespace brenik::utils {

MappedFile::MappedFile(const std::filesystem::path& path) {
  UniqueFd fd =
      is_confined(path) ? open_confined(path, O_RDONLY) : UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw_os_error(path.string());
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw_os_error(path.string());
  stamp_ = file_stamp(st);
  if (S_ISREG(st.st_mode) && st.st_size > 0) {
    void* m = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (m != MAP_FAILED) {
      map_ = m;
      size_ = static_cast<std::size_t>(st.st_size);
      view_ = std::string_view(static_cast<const char*>(map_), size_);
      return;
    }
  }
  fd.reset();
  fallback_ = read_file(path);
  view_ = fallback_;
  stamp_.size = fallback_.size();  // it may have grown since the fstat
}

void MappedFile::prefault(std::size_t offset, std::size_t length) const noexcept {
#ifdef MADV_POPULATE_READ
  if (!map_ || offset >= size_) return;
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t begin = offset / page * page;
  const std::size_t end = std::min(size_, offset + length);
  ::madvise(static_cast<char*>(map_) + begin, end - begin, MADV_POPULATE_READ);
#else
  (void)offset;
  (void)length;
#endif
}

MappedFile::~MappedFile() {
  if (map_) ::munmap(map_, size_);
}

}  // namespace brenik::utils
