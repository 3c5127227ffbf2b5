#include "reader/vq_ofx_reader.h"

#include <algorithm>
#include <new>
#include <string>
#include <type_traits>

#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/format_settings.h"
#include "platform/text_file.h"
#include "reader/tag_scan.h"

namespace kvr {

namespace {

[[noreturn]] void IndexError(int index, int count) {
  throw EListError("Índice da lista fora dos limites (" + std::to_string(index) +
                       "); a lista tem " + std::to_string(count) + " registro(s)",
                   index);
}

}  // namespace

TVQOFXReader::TVQOFXReader(TComponent* owner) : TComponent(owner) {}

TVQOFXReader::~TVQOFXReader() {
  Clear();
}

// Records hold views only: the arena gives their memory back without
// destroying them one by one.
static_assert(std::is_trivially_destructible_v<TOFXItem>);

TOFXItem* TVQOFXReader::Add() {
  void* const place = arena_.Allocate(sizeof(TOFXItem), alignof(TOFXItem));
  items_.push_back(new (place) TOFXItem());
  return items_.back();
}

void TVQOFXReader::Delete(int index) {
  if (index < 0 || index >= Count()) IndexError(index, Count());
  items_.erase(items_.begin() + index);
}

void TVQOFXReader::Clear() {
  decltype(items_)().swap(items_);
  arena_.Clear();
}

TOFXItem* TVQOFXReader::Get(int index) const {
  if (index < 0 || index >= Count()) IndexError(index, Count());
  return items_[static_cast<size_t>(index)];
}

bool TVQOFXReader::Process() {
  Clear();
  FileContents file;
  if (!file.Open(OFXFile)) return false;
  return Parse(file.Text(), &file);
}

bool TVQOFXReader::ProcessBuffer(std::string_view text) {
  Clear();
  return Parse(text, nullptr);
}

bool TVQOFXReader::FindString(const std::string& tag, const std::string& line) {
  auto same = [](char a, char b) { return tag_scan::Upper(a) == tag_scan::Upper(b); };
  return !tag.empty() &&
         std::search(line.begin(), line.end(), tag.begin(), tag.end(), same) != line.end();
}

std::string TVQOFXReader::InfLine(const std::string& line) {
  return std::string(tag_scan::ValueOf(line));
}

std::string TVQOFXReader::CampoValido(const std::string& value) {
  std::string out(value.size(), ' ');
  std::transform(value.begin(), value.end(), out.begin(), tag_scan::ValidChar);
  return out;
}

std::string TVQOFXReader::PrepareFloat(const std::string& value) {
  const std::string separator(1, FormatSettings.DecimalSeparator);
  return ReplaceString(ReplaceString(value, ".", separator, true), ",", separator, true);
}

std::string TVQOFXReader::ReplaceString(const std::string& source, const std::string& pattern,
                                        const std::string& replacement, bool ignore_case) {
  if (pattern.empty() || pattern.size() > source.size()) return source;
  auto equal = [ignore_case](char a, char b) {
    return ignore_case ? tag_scan::Upper(a) == tag_scan::Upper(b) : a == b;
  };
  std::string result;
  result.reserve(source.size());
  for (auto rest = source.begin();;) {
    const auto at = std::search(rest, source.end(), pattern.begin(), pattern.end(), equal);
    result.append(rest, at);
    if (at == source.end()) return result;
    result += replacement;
    rest = at + static_cast<std::ptrdiff_t>(pattern.size());
  }
}

std::u16string TVQOFXReader::UTF8ToWideString(const std::string& value) {
  return Utf8ToUtf16(value);
}

}  // namespace kvr
