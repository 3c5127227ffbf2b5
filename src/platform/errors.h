#pragma once

#include <string>
#include <utility>

#include "wire/errors.h"

namespace kvr {

// A text that is not a valid number or date, or numbers that make no date.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// A list index outside 0..Count-1; carries the bad index.
class EListError : public Exception {
 public:
  EListError(const std::string& message, long long index) : Exception(message), index_(index) {}
  long long Index() const { return index_; }

 private:
  long long index_;
};

// A file that exists but cannot be opened or read.
class EFileError : public Exception {
 public:
  using Exception::Exception;
};

// A table operation that the table's state does not allow (not active, a
// malformed filter, an unknown column, a malformed data packet).
class EDatabaseError : public Exception {
 public:
  using Exception::Exception;
};

// The silent end of the current user action. MensErro throws it after showing
// its message; front ends catch it quietly and show every other exception.
// Shown() is the message MensErro showed (Windows-1252), empty when the action
// was ended without one.
class EAbort : public Exception {
 public:
  EAbort() : Exception("Opera\xE7\xE3o interrompida.") {}
  explicit EAbort(std::string shown) : EAbort() { shown_ = std::move(shown); }
  const std::string& Shown() const { return shown_; }

 private:
  std::string shown_;
};

}  // namespace kvr
