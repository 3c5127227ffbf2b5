#include "platform/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/errors.h"

namespace kvr {

namespace {

std::string ReasonOf(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return "permiss\xE3o negada";
    case EISDIR:
      return "\xE9 uma pasta";
    case EIO:
      return "erro de leitura do dispositivo";
    case ENOMEM:
      return "mem\xF3ria insuficiente";
    default:
      return "erro " + std::to_string(error) + " do sistema";
  }
}

[[noreturn]] void Unreadable(const std::string& path, int error) {
  throw EFileError("n\xE3o foi poss\xEDvel ler o arquivo \"" + path + "\": " + ReasonOf(error));
}

// Closes a descriptor on every way out.
struct TFd {
  int fd;
  ~TFd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool ReadWholeFile(const std::string& path, std::string& contents) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return false;
    Unreadable(path, errno);
  }
  if (S_ISDIR(st.st_mode)) return false;
  TFd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) Unreadable(path, errno);
  if (::fstat(file.fd, &st) != 0) Unreadable(path, errno);
  std::string data;
  // A regular file is read into a buffer of its size plus one byte, so that
  // the end shows at once; a file that grows meanwhile, or another kind of
  // file (a pipe, a device), makes the buffer grow as it delivers.
  data.resize(S_ISREG(st.st_mode) ? static_cast<size_t>(st.st_size) + 1 : 65536);
  size_t used = 0;
  for (;;) {
    if (used == data.size()) data.resize(data.size() * 2);
    const ssize_t got = ::read(file.fd, data.data() + used, data.size() - used);
    if (got < 0) {
      if (errno == EINTR) continue;
      Unreadable(path, errno);
    }
    if (got == 0) break;
    used += static_cast<size_t>(got);
  }
  data.resize(used);
  contents = std::move(data);
  return true;
}

bool TLineReader::Next(std::string_view& line) {
  const size_t n = text_.size();
  if (pos_ >= n) return false;
  const char* base = text_.data();
  const char* p = base + pos_;
  const char* end = base + n;
  // Terminators are rare bytes: skip everything above CR with one compare.
  while (p < end && (static_cast<unsigned char>(*p) > '\r' || (*p != '\n' && *p != '\r'))) ++p;
  line = std::string_view(base + pos_, static_cast<size_t>(p - (base + pos_)));
  if (p < end) {
    if (*p == '\r' && p + 1 < end && p[1] == '\n') ++p;
    ++p;
  }
  pos_ = static_cast<size_t>(p - base);
  return true;
}

bool TTextLines::LoadFromFile(const std::string& path) {
  std::string data;
  if (!ReadWholeFile(path, data)) return false;
  SetText(std::move(data));
  return true;
}

void TTextLines::SetText(std::string text) {
  text_ = std::move(text);
  Split();
}

std::string_view TTextLines::Get(size_t index) const {
  if (index >= lines_.size()) {
    throw EListError("\xCDndice de linha fora dos limites (" + std::to_string(index) + ")",
                     static_cast<long long>(index));
  }
  return lines_[index];
}

void TTextLines::Clear() {
  std::vector<std::string_view>().swap(lines_);
  std::string().swap(text_);
}

void TTextLines::Split() {
  lines_.clear();
  TLineReader reader(text_);
  std::string_view line;
  while (reader.Next(line)) lines_.push_back(line);
}

}  // namespace kvr
