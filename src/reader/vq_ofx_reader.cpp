#include "reader/vq_ofx_reader.h"

#include <sys/mman.h>

#include <cstdlib>
#include <new>
#include <string>

#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/format_settings.h"
#include "platform/text_file.h"
#include "reader/tag_scan.h"

namespace kvr {

namespace {

[[noreturn]] void IndexError(int index, int count) {
  throw EListError("\xCDndice da lista fora dos limites (" + std::to_string(index) +
                       "); a lista tem " + std::to_string(count) + " registro(s)",
                   index);
}

}  // namespace

TVQOFXReader::TVQOFXReader(TComponent* owner) : TComponent(owner) {}

TVQOFXReader::~TVQOFXReader() { Clear(); }

namespace {

constexpr size_t kLargeBlockBytes = size_t{2} << 20;
// Statements beyond this many records get their records in large blocks.
constexpr size_t kLargeFrom = 16384;

}  // namespace

void TVQOFXReader::NewBlock() {
  TItemBlock block{nullptr, kBlockSize, 0, false};
  if (items_.size() >= kLargeFrom) {
    // Blocks of huge pages: a statement of a million records otherwise
    // takes tens of thousands of page faults to hold them.
    void* raw = std::aligned_alloc(kLargeBlockBytes, kLargeBlockBytes);
    if (raw != nullptr) {
#if defined(MADV_HUGEPAGE)
      ::madvise(raw, kLargeBlockBytes, MADV_HUGEPAGE);
#endif
      block = {static_cast<TOFXItem*>(raw), kLargeBlockBytes / sizeof(TOFXItem), 0, true};
    }
  }
  if (block.items == nullptr) {
    block.items = static_cast<TOFXItem*>(::operator new(kBlockSize * sizeof(TOFXItem)));
  }
  try {
    blocks_.push_back(block);
  } catch (...) {
    if (block.large) {
      std::free(block.items);
    } else {
      ::operator delete(block.items);
    }
    throw;
  }
}

void TVQOFXReader::FreeBlocks() {
  for (TItemBlock& block : blocks_) {
    for (size_t i = 0; i < block.used; ++i) block.items[i].~TOFXItem();
    if (block.large) {
      std::free(block.items);
    } else {
      ::operator delete(block.items);
    }
  }
  std::vector<TItemBlock>().swap(blocks_);
}

TOFXItem* TVQOFXReader::Add() {
  if (blocks_.empty() || blocks_.back().used == blocks_.back().capacity) NewBlock();
  TItemBlock& block = blocks_.back();
  items_.push_back(nullptr);
  TOFXItem* item = new (&block.items[block.used]) TOFXItem();
  ++block.used;
  items_.back() = item;
  return item;
}

void TVQOFXReader::Delete(int index) {
  if (index < 0 || index >= Count()) IndexError(index, Count());
  *items_[static_cast<size_t>(index)] = TOFXItem();
  items_.erase(items_.begin() + index);
}

void TVQOFXReader::Clear() {
  std::vector<TOFXItem*>().swap(items_);
  FreeBlocks();
}

TOFXItem* TVQOFXReader::Get(int index) const {
  if (index < 0 || index >= Count()) IndexError(index, Count());
  return items_[static_cast<size_t>(index)];
}

bool TVQOFXReader::Process() {
  Clear();
  TFileContents file;
  if (!file.Open(OFXFile)) return false;
  return Parse(file.Text(), &file);
}

bool TVQOFXReader::ProcessBuffer(std::string_view text) {
  Clear();
  return Parse(text, nullptr);
}

bool TVQOFXReader::FindString(const std::string& tag, const std::string& line) {
  if (tag.empty() || line.empty() || tag.size() > line.size()) return false;
  const size_t last = line.size() - tag.size();
  const char first = tag_scan::Upper(tag[0]);
  for (size_t i = 0; i <= last; ++i) {
    if (tag_scan::Upper(line[i]) != first) continue;
    size_t k = 1;
    while (k < tag.size() && tag_scan::Upper(line[i + k]) == tag_scan::Upper(tag[k])) ++k;
    if (k == tag.size()) return true;
  }
  return false;
}

std::string TVQOFXReader::InfLine(const std::string& line) {
  return std::string(tag_scan::ValueOf(line));
}

std::string TVQOFXReader::CampoValido(const std::string& value) {
  std::string out(value.size(), ' ');
  for (size_t i = 0; i < value.size(); ++i) out[i] = tag_scan::ValidChar(value[i]);
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
  size_t rest = 0;
  size_t i = 0;
  while (i + pattern.size() <= source.size()) {
    size_t k = 0;
    while (k < pattern.size() && equal(source[i + k], pattern[k])) ++k;
    if (k == pattern.size()) {
      result.append(source, rest, i - rest);
      result += replacement;
      i += pattern.size();
      rest = i;
    } else {
      ++i;
    }
  }
  result.append(source, rest, std::string::npos);
  return result;
}

std::u16string TVQOFXReader::UTF8ToWideString(const std::string& value) {
  if (value.empty()) return {};
  return Utf8ToUtf16(value);
}

}  // namespace kvr
