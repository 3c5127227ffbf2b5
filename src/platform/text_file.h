#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kvr {

// Whole text files as 8-bit bytes, with no character decoding, and their
// lines. A line ends at CR LF, at LF alone or at CR alone; the terminator is
// not part of the line. A terminator at the very end of the text ends the
// last line and starts no empty one, so "a\r\nb\r\n" and "a\r\nb" both hold
// the two lines "a" and "b", and the empty text holds no line.

// True when a regular file (or a link to one) exists at path; false for
// nothing there and for a folder.
bool FileExists(const std::string& path);

// Reads the whole file at path into contents, replacing what it held.
// Returns false, leaving contents unchanged, when nothing is at path. Throws
// EFileError naming the path when what is there is not a regular file (a
// folder, a pipe, a device: refused at once, never read) or when the file
// cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& contents);

// A whole regular file's bytes, read into memory the object owns, for as
// long as it lives, a large one in a block of its own (see AllocateLarge).
// The file is copied rather than mapped: a mapped file that shrinks while it
// is read (another program rewriting it) ends the process with SIGBUS. Not
// copyable.
class FileContents {
 public:
  FileContents() = default;
  ~FileContents();
  FileContents(const FileContents&) = delete;
  FileContents& operator=(const FileContents&) = delete;

  // Reads the file at path, dropping what was held. Returns false, holding
  // nothing, when nothing is at path; throws EFileError as ReadWholeFile
  // does.
  bool Open(const std::string& path);

  // The bytes, valid until the next Open or the object's end.
  std::string_view Text() const { return text_; }

  // Tells that the bytes of Text() before position will not be read again:
  // the memory that holds them may be given back, after which they read as
  // zeros. A reader that walks a large file once keeps it from being held
  // whole beside what it builds from it.
  void ReleaseBefore(const char* position);

 private:
  void Release();

  char* data_ = nullptr;  // from AllocateLarge, of size_ bytes
  size_t size_ = 0;
  std::string buffer_;  // a file whose size is not known in advance
  std::string_view text_;
};

// Walks the lines of a text held by the caller, first to last, without
// copying: each line is a view into that text, which must outlive the reader
// and every view it gave.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  // Sets line to the next line and returns true; returns false, leaving line
  // unchanged, when every line has been given.
  bool Next(std::string_view& line);

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace kvr
