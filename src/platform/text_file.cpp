#include "platform/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "platform/errors.h"
#include "platform/large_memory.h"

namespace kvr {

namespace {

std::string ReasonOf(int error) {
  static const std::pair<int, const char*> kReasons[] = {{EACCES, "permissão negada"},
                                                         {EPERM, "permissão negada"},
                                                         {EISDIR, "é uma pasta"},
                                                         {EAGAIN, "o arquivo está bloqueado"},
                                                         {EIO, "erro de leitura do dispositivo"},
                                                         {ENOMEM, "memória insuficiente"}};
  for (const auto& [code, reason] : kReasons)
    if (code == error) return reason;
  return "erro " + std::to_string(error) + " do sistema";
}

// Paths are UTF-8, as file names on disk and as messages.
[[noreturn]] void Unreadable(const std::string& path, int error) {
  throw EFileError("não foi possível ler o arquivo \"" + path + "\": " + ReasonOf(error));
}

// Closes a descriptor on every way out.
struct FileDescriptor {
  int fd = -1;
  FileDescriptor() = default;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

// What kind of thing, other than a regular file, st describes.
const char* KindOf(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return "uma pasta";
  if (S_ISFIFO(st.st_mode)) return "um pipe";
  if (S_ISSOCK(st.st_mode)) return "um socket";
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "um dispositivo";
  return "um arquivo especial";
}

// Only regular files are read: a pipe would block the reader for ever and a
// device such as /dev/zero would fill memory.
[[noreturn]] void NotRegular(const std::string& path, const struct stat& st) {
  throw EFileError("\"" + path + "\" não é um arquivo comum, é " + KindOf(st) +
                   ": escolha o arquivo do extrato");
}

// Opens path for reading and fills st from the open file. False when nothing
// is there; throws EFileError when what is there is not a regular file or
// cannot be opened.
bool OpenForReading(const std::string& path, FileDescriptor& file, struct stat& st) {
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return false;
    Unreadable(path, errno);
  }
  if (!S_ISREG(st.st_mode)) NotRegular(path, st);
  // Without blocking: should a pipe have replaced the file meanwhile, the
  // open must not wait for a writer; the check below then refuses it.
  file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (file.fd < 0) Unreadable(path, errno);
  if (::fstat(file.fd, &st) != 0) Unreadable(path, errno);
  if (!S_ISREG(st.st_mode)) NotRegular(path, st);
  return true;
}

// Reads the open file into [at, at + room) until that is full or the file
// ends; returns the bytes read.
size_t ReadUpTo(const std::string& path, int fd, char* at, size_t room) {
  size_t used = 0;
  while (used < room) {
    const ssize_t got = ::read(fd, at + used, room - used);
    if (got < 0) {
      if (errno == EINTR) continue;
      Unreadable(path, errno);
    }
    if (got == 0) break;
    used += static_cast<size_t>(got);
  }
  return used;
}

}  // namespace

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool ReadWholeFile(const std::string& path, std::string& contents) {
  struct stat st {};
  FileDescriptor file;
  if (!OpenForReading(path, file, st)) return false;
  std::string data;
  // Read into a buffer of the file's size plus one byte, so that the end
  // shows at once; a file that grows meanwhile (or a system file that gives
  // its size as 0) makes the buffer grow as it delivers.
  data.resize(st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 65536);
  size_t used = ReadUpTo(path, file.fd, data.data(), data.size());
  while (used == data.size()) {
    data.resize(data.size() * 2);
    used += ReadUpTo(path, file.fd, data.data() + used, data.size() - used);
  }
  data.resize(used);
  contents = std::move(data);
  return true;
}

FileContents::~FileContents() {
  Release();
}

void FileContents::Release() {
  FreeLarge(data_, size_);
  data_ = nullptr;
  size_ = 0;
  std::string().swap(buffer_);
  text_ = {};
}

void FileContents::ReleaseBefore(const char* position) {
  if (data_ == nullptr || position <= data_ || position > data_ + size_) return;
  FreeLargeFront(data_, size_, static_cast<size_t>(position - data_));
}

bool FileContents::Open(const std::string& path) {
  Release();
  struct stat st {};
  FileDescriptor file;
  if (!OpenForReading(path, file, st)) return false;
  if (st.st_size > 0) {
    // The size the file has now; should it grow meanwhile, what it gains is
    // not read.
    size_ = static_cast<size_t>(st.st_size);
    data_ = static_cast<char*>(AllocateLarge(size_, true));
    text_ = std::string_view(data_, ReadUpTo(path, file.fd, data_, size_));
    return true;
  }
  // A system file that gives its size as 0 is read to its end.
  if (!ReadWholeFile(path, buffer_)) return false;
  text_ = buffer_;
  return true;
}

namespace {

static_assert(std::endian::native == std::endian::little, "FindLineEnd reads words little-endian");

// The first CR or LF in [p, end), or end.
const char* FindLineEnd(const char* p, const char* end) {
  // Eight bytes at a time: a byte equal to LF or CR shows as a zero byte of
  // the word xor-ed with that byte repeated.
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  while (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    const std::uint64_t lf = word ^ (kOnes * '\n');
    const std::uint64_t cr = word ^ (kOnes * '\r');
    const std::uint64_t hit = ((lf - kOnes) & ~lf & kHighs) | ((cr - kOnes) & ~cr & kHighs);
    if (hit != 0) {
      // Little-endian: the lowest marked byte is the first in memory. The
      // borrow of the subtraction can only mark bytes after a true hit.
      return p + (__builtin_ctzll(hit) >> 3);
    }
    p += 8;
  }
  while (p < end && *p != '\n' && *p != '\r') ++p;
  return p;
}

}  // namespace

bool LineReader::Next(std::string_view& line) {
  const size_t n = text_.size();
  if (pos_ >= n) return false;
  const char* base = text_.data();
  const char* start = base + pos_;
  const char* end = base + n;
  const char* p = FindLineEnd(start, end);
  line = std::string_view(start, static_cast<size_t>(p - start));
  if (p < end) {
    if (*p == '\r' && p + 1 < end && p[1] == '\n') ++p;
    ++p;
  }
  pos_ = static_cast<size_t>(p - base);
  return true;
}

}  // namespace kvr
