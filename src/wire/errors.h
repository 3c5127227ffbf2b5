#pragma once

#include <stdexcept>

namespace kvr {

// Base of every exception of the module, on the client and on the server.
// what() is UTF-8 everywhere: a Portuguese text for the user, written in the
// source as a plain literal. A module text (Windows-1252) put into a message
// is converted where it is put in (Cp1252ToUtf8). Where a message is shown:
// a terminal, JSON and the journal take it as it is, Qt through
// QString::fromUtf8, and the host library's dialogs (MensErro, ShowError),
// which take module texts, after Utf8ToCp1252.
class Exception : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace kvr
