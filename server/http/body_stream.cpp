#include "http/body_stream.h"

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

}  // namespace

struct BodyStreamBuf::Inflater {
  z_stream stream{};
  bool ended = false;  // the last member ended with the input
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
  z_stream& z = inflater_->stream;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
  z.avail_in = static_cast<uInt>(body.size());
  input_ended_ = true;
}

BodyStreamBuf::BodyStreamBuf(BodySource& source, bool gzip, size_t max_inflated,
                             const std::atomic<bool>* stop)
    : max_inflated_(max_inflated), stop_(stop), source_(&source) {
  if (gzip) StartInflater();
}

void BodyStreamBuf::StartInflater() {
  inflater_ = std::make_unique<Inflater>();
  z_stream& z = inflater_->stream;
  // 16 + MAX_WBITS: a gzip wrapper, not a bare zlib stream.
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
  window_ = std::make_unique<char[]>(kWindow);
  setg(window_.get(), window_.get(), window_.get());
}

bool BodyStreamBuf::Pull() {
  if (input_ended_) return false;
  z_stream& z = inflater_->stream;
  const char* data = nullptr;
  size_t size = 0;
  while (size == 0) {
    if (!source_->Next(data, size)) {
      input_ended_ = true;
      return false;
    }
  }
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
  z.avail_in = static_cast<uInt>(size);
  return true;
}

BodyStreamBuf::~BodyStreamBuf() {
  if (inflater_) inflateEnd(&inflater_->stream);
}

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
  z_stream& z = inflater_->stream;
  char* out = window_.get();
  z.next_out = reinterpret_cast<Bytef*>(out);
  z.avail_out = static_cast<uInt>(kWindow);
  while (z.avail_out == kWindow) {
    if (z.avail_in == 0) Pull();
    const int result = inflate(&z, Z_NO_FLUSH);
    if (result == Z_STREAM_END) {
      if (z.avail_in == 0 && !Pull()) {
        inflater_->ended = true;
        break;
      }
      // Several gzip members one after the other are one body (as gzip -c a b writes).
      if (inflateReset(&z) != Z_OK) throw NotGzip();
      continue;
    }
    // No progress with all input used: the body ends inside a member.
    if (result == Z_BUF_ERROR && z.avail_in == 0 && z.avail_out == kWindow) throw NotGzip();
    if (result != Z_OK && result != Z_BUF_ERROR) throw NotGzip();
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
  // The state at the end of the bytes, and where the last run began (a text
  // or a number starting): the run then counts the bytes after it.
  constexpr std::uint64_t kQuotes = 0x2222222222222222ull, kBackslashes = 0x5C5C5C5C5C5C5C5Cull;
  bool in_string = in_string_, escaped = escaped_, in_number = in_number_;
  size_t run_start = 0;
  bool restarted = false;
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
    const char c = data[i];
    if (c == '"') {
      in_string = true;
      in_number = false;
      run_start = i;
      restarted = true;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      if (!in_number) {
        run_start = i;
        restarted = true;
      }
      in_number = true;
    } else if (!(in_number && (c == '.' || c == 'e' || c == 'E' || c == '+'))) {
      in_number = false;
    }
    ++i;
  }
  in_string_ = in_string;
  escaped_ = escaped;
  in_number_ = in_number;
  run_ = restarted ? size - 1 - run_start : run_ + size;
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
