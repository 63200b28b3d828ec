#include "zavo/graph_file/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace zavo::graph {
namespace {

std::string system_error_text(int error) {
  return std::strerror(error);
}

// Closes and removes the temporary file unless it was handed over by a successful rename.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::filesystem::path& target) {
    std::filesystem::path dir = target.parent_path();
    if (dir.empty())
      dir = ".";
    std::string pattern = (dir / ("." + target.filename().string() + ".tmp.XXXXXX")).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd_ = ::mkstemp(name.data());
    if (fd_ < 0)
      throw FileWriteError("cannot create a file in " + dir.string() + ": " +
                           system_error_text(errno));
    path_ = name.data();
  }
  ~TemporaryFile() {
    if (fd_ >= 0)
      ::close(fd_);
    if (!path_.empty())
      ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

  void close() {
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0)
      throw FileWriteError("cannot write " + path_ + ": " + system_error_text(errno));
  }
  void release() { path_.clear(); }

 private:
  int fd_ = -1;
  std::string path_;
};

mode_t default_file_mode() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

}  // namespace

void check_file_path(const std::filesystem::path& path) {
  namespace fs = std::filesystem;
  const std::string text = path.string();
  if (text.empty())
    throw FileWriteError("cannot write to an empty path: name a file");
  auto suggestion = [&path] { return (path / "report.json").lexically_normal().string(); };
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    throw FileWriteError("cannot write " + text +
                         ": it is a directory; name a file in it, such as " + suggestion());
  }
  const fs::path dir = path.parent_path();
  if (!dir.empty()) {
    const fs::file_status status = fs::status(dir, ec);
    if (status.type() == fs::file_type::not_found)
      throw FileWriteError("cannot write " + text + ": the directory " + dir.string() +
                           " does not exist");
    if (fs::exists(status) && !fs::is_directory(status))
      throw FileWriteError("cannot write " + text + ": " + dir.string() + " is not a directory");
  }
  // `out/`, `.` and `..` name directories even where none exists.
  const fs::path name = path.filename();
  if (name.empty() || name == "." || name == "..") {
    throw FileWriteError("cannot write " + text +
                         ": it names a directory; name a file in it, such as " + suggestion());
  }
}

void write_file_atomically(const std::filesystem::path& path, const ContentProducer& produce) {
  check_file_path(path);
  TemporaryFile temp(path);
  auto fail = [&](const std::string& what) {
    throw FileWriteError(what + " " + path.string() + ": " + system_error_text(errno));
  };
  // mkstemp creates the file readable by its owner only; give it the usual permissions.
  if (::fchmod(temp.fd(), default_file_mode()) != 0)
    fail("cannot write");
  produce([&](std::string_view piece) {
    const char* data = piece.data();
    std::size_t left = piece.size();
    while (left > 0) {
      ssize_t written = ::write(temp.fd(), data, left);
      if (written < 0) {
        if (errno == EINTR)
          continue;
        fail("cannot write");
      }
      data += written;
      left -= static_cast<std::size_t>(written);
    }
  });
  if (::fsync(temp.fd()) != 0)
    fail("cannot write");
  temp.close();
  if (::rename(temp.path().c_str(), path.c_str()) != 0)
    fail("cannot replace");
  temp.release();
}

void write_file_atomically(const std::filesystem::path& path, std::string_view content) {
  write_file_atomically(path, [content](const auto& write) { write(content); });
}

}  // namespace zavo::graph
