#include "utils/private_dir.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "utils/errors.hpp"
#include "utils/unique_fd.hpp"

namespace brenik::utils {

namespace fs = std::filesystem;

PrivateDir::PrivateDir() {
  const char* env = std::getenv("TMPDIR");
  std::string base = env && *env ? env : "/tmp";
  std::string templ = base + "/brenik-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  // mkdtemp creates the directory with mode 0700 whatever the umask says.
  if (::mkdtemp(buf.data()) == nullptr) throw OSError(errno, "cannot create a temporary directory in " + base);
  path_ = buf.data();
}

PrivateDir::~PrivateDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

fs::path PrivateDir::write(const std::string& name, std::string_view content) const {
  const fs::path file = path_ / name;
  UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.get() < 0) throw OSError(errno, "cannot create " + file.string());
  std::size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw OSError(errno, "cannot write " + file.string());
    done += static_cast<std::size_t>(n);
  }
  if (fd.close_now() != 0) throw OSError(errno, "cannot write " + file.string());
  return file;
}

}  // namespace brenik::utils
