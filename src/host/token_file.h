#pragma once

#include <string>

namespace kvr {

// Reads the shared secret of an application server from its token file: the
// file's first line without its line end and surrounding blanks. The path is
// in the system's encoding. Throws kvr::Exception naming the file when it
// cannot be read or its first line is blank.
std::string ReadTokenFile(const std::string& path);

}  // namespace kvr
