#pragma once

#include <cstddef>
#include <string>

namespace kvr::server {

// Reads a file that must be private to its owner (a secret, a private key):
// a regular file (a symbolic link is followed) with no permission for group
// or others and at most max_bytes long. what names the file in the messages
// ("arquivo de segredo"). Returns the whole content, read through the same
// descriptor that was checked. Throws kvr::Exception with the Portuguese
// reason naming what and path: "não foi possível ler o WHAT \"PATH\": ..."
// when it cannot be opened, or a message that says what to do when it is
// not a regular file, is open to others ("chmod 600") or is too long.
std::string ReadOwnerOnlyFile(const std::string& path, const std::string& what,
                              size_t max_bytes);

// Reads a file that need not be private (a certificate, the configuration)
// with the same care: a regular file (a symbolic link is followed), opened
// without waiting (a FIFO is refused, never read), at most max_bytes long
// (a link to /dev/zero is refused, never read). Throws kvr::Exception as
// ReadOwnerOnlyFile does, and "\"PATH\" é uma pasta, não um WHAT." for a
// folder.
std::string ReadSmallFile(const std::string& path, const std::string& what, size_t max_bytes);

}  // namespace kvr::server
