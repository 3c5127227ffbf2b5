#include "http/private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "wire/errors.h"

namespace kvr::server {

namespace {

// Closes the descriptor when it goes.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string Open(const std::string& path, const std::string& what, size_t max_bytes,
                 bool owner_only) {
  // O_NONBLOCK: a FIFO given by mistake is refused below instead of
  // blocking the start until someone writes to it.
  auto unreadable = [&] {
    return Exception("não foi possível ler o " + what + " \"" + path + "\": " +
                     std::strerror(errno) + ".");
  };
  Descriptor file{open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
  if (file.fd < 0) throw unreadable();
  struct stat status {};
  if (fstat(file.fd, &status) != 0) throw unreadable();
  if (!owner_only && S_ISDIR(status.st_mode))
    throw Exception("\"" + path + "\" é uma pasta, não um " + what + ".");
  if (!S_ISREG(status.st_mode))
    throw Exception("o " + what + " \"" + path + "\" não é um arquivo comum; grave-o em um arquivo " +
                    (owner_only ? "comum e dê-lhe chmod 600." : "comum."));
  if (owner_only && (status.st_mode & 077) != 0)
    throw Exception("o " + what + " \"" + path + "\" pode ser acessado por outros usuários "
                    "(permissões " + Octal(status.st_mode) + "); restrinja-o ao dono com chmod 600 \"" +
                    path + "\".");
  if (static_cast<unsigned long long>(status.st_size) > max_bytes)
    throw Exception("o " + what + " \"" + path + "\" tem " + std::to_string(status.st_size) +
                    " bytes, mais que o limite de " + std::to_string(max_bytes / 1024) +
                    " KiB; confira se é o arquivo certo.");
  std::string content;
  // Read one byte past the limit: a file that grew since fstat is refused too.
  content.resize(max_bytes + 1);
  size_t have = 0;
  while (have < content.size()) {
    const ssize_t n = read(file.fd, content.data() + have, content.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw unreadable();
    if (n == 0) break;
    have += static_cast<size_t>(n);
  }
  if (have > max_bytes)
    throw Exception("o " + what + " \"" + path + "\" passa do limite de " +
                    std::to_string(max_bytes / 1024) + " KiB; confira se é o arquivo certo.");
  content.resize(have);
  return content;
}

}  // namespace

std::string ReadOwnerOnlyFile(const std::string& path, const std::string& what,
                              size_t max_bytes) {
  return Open(path, what, max_bytes, true);
}

std::string ReadSmallFile(const std::string& path, const std::string& what, size_t max_bytes) {
  return Open(path, what, max_bytes, false);
}

}  // namespace kvr::server
