#include "http/body_stream.h"

#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace kvr::server {

namespace {

constexpr size_t kWindow = 64 * 1024;

BodyError LongRun() {
  return BodyError(BodyFault::kLongRun,
                   "Requisição recusada: um texto, um número ou um trecho sem textos nem números "
                   "passa de " + MiB(kMaxRun) + " MiB.");
}

BodyError NotGzip() {
  return BodyError(BodyFault::kNotGzip,
                   "O corpo da requisição declara Content-Encoding gzip, mas não é um gzip "
                   "válido.");
}

// A gzip member's header, read a byte at a time as its pieces come, as zlib
// reads it: the magic and the deflate method, no flag reserved for future use
// (their meaning unknown, the rest cannot be read), then the optional extra
// field, name and comment, skipped, and the header's CRC, checked when the
// flags announce it. (ISA-L's own reading of it miscounts that CRC when the
// header arrives in more than one piece.)
class GzipHeader {
 public:
  // Takes what it needs of data; Done() once the header is whole. false:
  // not a gzip header.
  bool Read(const uint8_t*& data, uint32_t& size) {
    while (size > 0 && stage_ != kDone) {
      const uint8_t* const begin = data;
      if (stage_ == kExtra || stage_ == kNameText || stage_ == kCommentText) {
        // Skipped in one go, up to the field's end (a text's ends at its NUL).
        size_t take = size;
        if (stage_ == kExtra) {
          take = std::min<size_t>(size, left_);
          left_ -= static_cast<uint32_t>(take);
        } else if (const void* nul = std::memchr(data, 0, size)) {
          take = static_cast<size_t>(static_cast<const uint8_t*>(nul) - data) + 1;
          left_ = 0;
        }
        data += take;
        size -= static_cast<uint32_t>(take);
        crc_ = crc32(crc_, begin, static_cast<uInt>(take));
        if (left_ == 0) Next();
        continue;
      }
      const uint8_t byte = *data++;
      --size;
      if (stage_ == kCrc) {
        // The low two bytes of the CRC-32 of the header before them.
        if (byte != ((crc_ >> (8 * count_)) & 0xFF)) return false;
        if (++count_ == 2) stage_ = kDone;
        continue;
      }
      crc_ = crc32(crc_, begin, 1);
      if (stage_ == kFixed) {
        if ((count_ == 0 && byte != 0x1F) || (count_ == 1 && byte != 0x8B) ||
            (count_ == 2 && byte != 8) || (count_ == 3 && (byte & 0xE0) != 0))
          return false;
        if (count_ == 3) flags_ = byte;
        // Then the time, the compression level and the system: not used.
        if (++count_ == 10) Next();
      } else {  // kExtraLength: two bytes, the low one first
        left_ |= static_cast<uint32_t>(byte) << (8 * count_);
        if (++count_ == 2) Next();
      }
    }
    return true;
  }
  bool Done() const { return stage_ == kDone; }

 private:
  static constexpr uint8_t kHeaderCrc = 0x02, kExtraField = 0x04, kName = 0x08, kComment = 0x10;
  enum Stage { kFixed, kExtraLength, kExtra, kNameText, kCommentText, kCrc, kDone };

  // On to the next part the flags announce, in the order the format has them.
  void Next() {
    count_ = 0;
    if (stage_ < kExtraLength && (flags_ & kExtraField) != 0) {
      stage_ = kExtraLength;
      left_ = 0;
    } else if (stage_ == kExtraLength && left_ > 0) {
      stage_ = kExtra;
    } else if (stage_ < kNameText && (flags_ & kName) != 0) {
      stage_ = kNameText;
      left_ = 1;
    } else if (stage_ < kCommentText && (flags_ & kComment) != 0) {
      stage_ = kCommentText;
      left_ = 1;
    } else if (stage_ < kCrc && (flags_ & kHeaderCrc) != 0) {
      stage_ = kCrc;
    } else {
      stage_ = kDone;
    }
  }

  Stage stage_ = kFixed;
  size_t count_ = 0;  // bytes read of the fixed part, the extra field's length or the CRC
  uint8_t flags_ = 0;
  uint32_t left_ = 0;  // bytes left of the extra field; in a text, 1 until its end
  uLong crc_ = crc32(0, nullptr, 0);
};

}  // namespace

// Each member: its header (GzipHeader), then ISA-L's inflate (a few times
// zlib's speed), which checks the trailer's CRC-32 and length against what it
// inflated and gives back the bytes it read past the member's end.
struct BodyStreamBuf::Inflater {
  inflate_state state{};
  GzipHeader header;
  bool ended = false;  // the last member ended with the input

  Inflater() { Start(); }
  // A new member, where the input is.
  void Start() {
    uint8_t* const next_in = state.next_in;
    const uint32_t avail_in = state.avail_in;
    isal_inflate_init(&state);
    state.crc_flag = ISAL_GZIP_NO_HDR_VER;
    state.next_in = next_in;
    state.avail_in = avail_in;
    header = GzipHeader();
  }
  // Reads what it can of the input; false: not gzip.
  bool Step() {
    if (!header.Done()) {
      const uint8_t* data = state.next_in;
      if (!header.Read(data, state.avail_in)) return false;
      state.next_in = const_cast<uint8_t*>(data);
      return true;
    }
    return isal_inflate(&state) == ISAL_DECOMP_OK;
  }
};

BodyStreamBuf::BodyStreamBuf(const std::string& body, bool gzip, size_t max_inflated,
                             const std::atomic<bool>* stop)
    : max_inflated_(max_inflated), stop_(stop) {
  if (!gzip) {
    Scan(body.data(), body.size());
    char* begin = const_cast<char*>(body.data());
    setg(begin, begin, begin + body.size());
    return;
  }
  StartInflater();
  rest_ = body.data();
  rest_size_ = body.size();
}

BodyStreamBuf::BodyStreamBuf(BodySource& source, bool gzip, size_t max_inflated,
                             const std::atomic<bool>* stop)
    : max_inflated_(max_inflated), stop_(stop), source_(&source) {
  if (gzip) StartInflater();
}

void BodyStreamBuf::StartInflater() {
  inflater_ = std::make_unique<Inflater>();
  window_ = std::make_unique<char[]>(kWindow);
  setg(window_.get(), window_.get(), window_.get());
}

bool BodyStreamBuf::Pull() {
  if (input_ended_) return false;
  while (rest_size_ == 0) {
    if (source_ == nullptr || !source_->Next(rest_, rest_size_)) {
      input_ended_ = true;
      return false;
    }
  }
  // In slices the inflater's 32-bit counts hold.
  const size_t size = std::min<size_t>(rest_size_, size_t{1} << 30);
  inflate_state& z = inflater_->state;
  z.next_in = reinterpret_cast<uint8_t*>(const_cast<char*>(rest_));
  z.avail_in = static_cast<uint32_t>(size);
  rest_ += size;
  rest_size_ -= size;
  return true;
}

BodyStreamBuf::~BodyStreamBuf() = default;

BodyStreamBuf::int_type BodyStreamBuf::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  if (!inflater_) {
    // A plain body read while it arrives: each piece checked, then read where it is.
    const char* data = nullptr;
    size_t size = 0;
    while (size == 0)
      if (source_ == nullptr || !source_->Next(data, size)) return traits_type::eof();
    Scan(data, size);
    char* begin = const_cast<char*>(data);
    setg(begin, begin, begin + size);
    return traits_type::to_int_type(*begin);
  }
  if (inflater_->ended) return traits_type::eof();
  if (stop_ != nullptr && stop_->load(std::memory_order_relaxed))
    throw BodyError(BodyFault::kStopped, "O servidor está encerrando; tente de novo.");
  inflate_state& z = inflater_->state;
  char* out = window_.get();
  z.next_out = reinterpret_cast<uint8_t*>(out);
  z.avail_out = static_cast<uint32_t>(kWindow);
  while (z.avail_out == kWindow) {
    if (z.avail_in == 0) Pull();
    const uint32_t in = z.avail_in;
    const isal_block_state was = z.block_state;
    if (!inflater_->Step()) throw NotGzip();
    if (z.block_state == ISAL_BLOCK_FINISH) {
      // The member's trailer matched; the bytes after it are given back.
      if (z.avail_in == 0 && !Pull()) {
        inflater_->ended = true;
        break;
      }
      // Several gzip members one after the other are one body (as gzip -c a b writes).
      uint8_t* const next_out = z.next_out;
      const uint32_t avail_out = z.avail_out;
      inflater_->Start();
      z.next_out = next_out;
      z.avail_out = avail_out;
      continue;
    }
    // No progress with all input used: the body ends inside a member.
    if (input_ended_ && z.avail_in == 0 && in == 0 && z.avail_out == kWindow &&
        z.block_state == was)
      throw NotGzip();
  }
  const size_t produced = kWindow - z.avail_out;
  inflated_ += produced;
  if (inflated_ > max_inflated_)
    throw BodyError(BodyFault::kTooLarge, "Requisição recusada: o corpo descompactado passa do "
                                          "limite de " + MiB(max_inflated_) + " MiB.");
  Scan(out, produced);
  setg(out, out, out + produced);
  if (produced == 0) return traits_type::eof();
  return traits_type::to_int_type(*out);
}

namespace {

// The bytes of word equal to the byte of ones (0x0101...01 times it): the
// lowest bit set is in the first such byte (a higher one may be set wrongly).
inline std::uint64_t Bytes(std::uint64_t word, std::uint64_t ones) {
  const std::uint64_t x = word ^ ones;
  return (x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull;
}

}  // namespace

void BodyStreamBuf::Scan(const char* data, size_t size) {
  // In steps of a window: one where no run can pass the limit (the usual
  // case) needs no count per byte.
  while (size > 0) {
    const size_t step = std::min(size, kWindow);
    if (run_ + step <= kMaxRun)
      ScanShort(data, step);
    else
      ScanLong(data, step);
    data += step;
    size -= step;
  }
}

void BodyStreamBuf::ScanShort(const char* data, size_t size) {
  if (std::memchr(data, '\0', size) != nullptr)
    throw BodyError(BodyFault::kNulByte, "A requisição não é um JSON válido.");
  // The state at the end of the bytes, and where the last run began: the
  // last text's opening quote, or a number after it. Numbers before that
  // text end before it, so only the bytes after the last text are looked at
  // a byte at a time; elsewhere outside texts only the next quote matters.
  constexpr std::uint64_t kQuotes = 0x2222222222222222ull, kBackslashes = 0x5C5C5C5C5C5C5C5Cull;
  constexpr size_t kNone = static_cast<size_t>(-1);
  bool in_string = in_string_, escaped = escaped_, in_number = in_number_;
  size_t run_start = kNone;
  size_t i = 0;
  while (i < size) {
    if (in_string) {
      if (escaped) {
        escaped = false;
        ++i;
        continue;
      }
      // The plain inside of texts, eight bytes at a time where they have
      // neither end nor escape.
      bool found = false;
      while (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ && i + 8 <= size) {
        std::uint64_t word;
        std::memcpy(&word, data + i, sizeof word);
        const std::uint64_t ends = Bytes(word, kQuotes) | Bytes(word, kBackslashes);
        if (ends != 0) {
          // In memory order, the word's bytes from its low end.
          i += static_cast<size_t>(__builtin_ctzll(ends)) / 8;
          found = true;
          break;
        }
        i += 8;
      }
      if (!found)
        while (i < size && data[i] != '"' && data[i] != '\\') ++i;
      if (i == size) break;
      if (data[i] == '\\')
        escaped = true;
      else
        in_string = false;
      ++i;
      continue;
    }
    size_t quote = i;
    while (quote < size && data[quote] != '"') ++quote;
    if (quote == size) break;
    in_string = true;
    in_number = false;
    run_start = quote;
    i = quote + 1;
  }
  if (!in_string) {
    // After the last text (or all of the bytes, when they hold none).
    for (; i < size; ++i) {
      const char c = data[i];
      if (c == '-' || (c >= '0' && c <= '9')) {
        if (!in_number) run_start = i;
        in_number = true;
      } else if (!(in_number && (c == '.' || c == 'e' || c == 'E' || c == '+'))) {
        in_number = false;
      }
    }
  }
  in_string_ = in_string;
  escaped_ = escaped;
  in_number_ = in_number;
  run_ = run_start != kNone ? size - 1 - run_start : run_ + size;
}

void BodyStreamBuf::ScanLong(const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (in_string_ && !escaped_) {
      // Most of a body is the plain inside of texts, where only their end,
      // an escape or a NUL matters: skipped in one go.
      const size_t start = i;
      while (i < size && data[i] != '"' && data[i] != '\\' && data[i] != '\0') ++i;
      run_ += i - start;
      if (run_ > kMaxRun) throw LongRun();
      if (i == size) return;
    }
    const char c = data[i];
    if (c == '\0') throw BodyError(BodyFault::kNulByte, "A requisição não é um JSON válido.");
    ++run_;
    if (in_string_) {
      if (escaped_)
        escaped_ = false;
      else if (c == '\\')
        escaped_ = true;
      else if (c == '"')
        in_string_ = false;
    } else if (c == '"') {
      in_string_ = true;
      in_number_ = false;
      run_ = 0;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      if (!in_number_) run_ = 0;
      in_number_ = true;
    } else if (!(in_number_ && (c == '.' || c == 'e' || c == 'E' || c == '+'))) {
      in_number_ = false;
    }
    if (run_ > kMaxRun) throw LongRun();
  }
}

size_t GzipDeclaredSize(const std::string& body) {
  // A header of 10 bytes (the first two 1f 8b), a trailer of 8 (CRC-32,
  // then the length).
  if (body.size() < 18 || body[0] != '\x1f' || body[1] != '\x8b') return 0;
  const auto* end = reinterpret_cast<const unsigned char*>(body.data() + body.size());
  return static_cast<size_t>(end[-4]) | static_cast<size_t>(end[-3]) << 8 |
         static_cast<size_t>(end[-2]) << 16 | static_cast<size_t>(end[-1]) << 24;
}

std::string GzipCompress(const std::string& data) {
  z_stream z{};
  // Level 1: replies go out at once; most of the gain of gzip on JSON comes
  // at the fastest level.
  if (deflateInit2(&z, 1, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::bad_alloc();
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (result != Z_STREAM_END) throw std::runtime_error("gzip");
  return out;
}

}  // namespace kvr::server
