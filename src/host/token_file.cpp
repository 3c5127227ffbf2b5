#include "host/token_file.h"

#include <fstream>

#include "platform/errors.h"

namespace kvr {

std::string ReadTokenFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  const bool read = in.is_open() && static_cast<bool>(std::getline(in, line));
  if (!in.is_open() || (!read && !in.eof()))
    throw Exception("O arquivo da chave de acesso \"" + path + "\" não pode ser lido.");
  const std::size_t begin = line.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos)
    throw Exception("O arquivo da chave de acesso \"" + path +
                    "\" está vazio: a primeira linha deve conter a chave.");
  return line.substr(begin, line.find_last_not_of(" \t\r\n") - begin + 1);
}

}  // namespace kvr
