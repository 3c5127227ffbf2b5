#include "host/token_file.h"

#include <fstream>

#include "platform/encoding.h"
#include "platform/errors.h"

namespace kvr {

std::string ReadTokenFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  const bool read = in.is_open() && static_cast<bool>(std::getline(in, line));
  if (!in.is_open() || (!read && !in.eof()))
    throw Exception("O arquivo de senha de acesso \"" + Utf8ToCp1252(path) + "\" n\xE3o pode ser lido.");
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  std::size_t begin = 0, end = line.size();
  while (begin < end && blank(line[begin])) ++begin;
  while (end > begin && blank(line[end - 1])) --end;
  if (begin == end)
    throw Exception("O arquivo de senha de acesso \"" + Utf8ToCp1252(path) +
                    "\" est\xE1 vazio: a primeira linha deve conter a senha.");
  return line.substr(begin, end - begin);
}

}  // namespace kvr
