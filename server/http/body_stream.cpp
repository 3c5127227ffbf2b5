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

}  // namespace

// ISA-L's inflate (a few times zlib's speed on this machine's processors),
// reading the gzip wrapper itself: the header with any optional field
// (checking its CRC when it has one), the deflate data and the trailer, whose
// CRC-32 and length it checks against what it inflated.
struct BodyStreamBuf::Inflater {
  inflate_state state;
  bool ended = false;  // the last member ended with the input
  // Bytes of the current member's header given to the inflater, up to its
  // flags byte: ISA-L ignores the flags reserved for future use, which a
  // gzip reader must refuse (their meaning unknown, the rest of the header
  // cannot be read).
  size_t header = 0;

  Inflater() { Start(); }
  void Start() {
    isal_inflate_init(&state);
    state.crc_flag = ISAL_GZIP;
    header = 0;
  }
  // Inflates what it can of the input into the output; false: not gzip.
  bool Step() {
    constexpr size_t kFlags = 3;  // after the two bytes of the magic and the method
    for (size_t at = header; at <= kFlags && at - header < state.avail_in; ++at)
      if (at == kFlags && (state.next_in[at - header] & 0xE0) != 0) return false;
    const uint32_t before = state.avail_in;
    if (isal_inflate(&state) != ISAL_DECOMP_OK) return false;
    if (header <= kFlags) header += before - state.avail_in;
    return true;
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
      uint8_t* const next_in = z.next_in;
      uint8_t* const next_out = z.next_out;
      const uint32_t avail_in = z.avail_in, avail_out = z.avail_out;
      inflater_->Start();
      z.next_in = next_in;
      z.avail_in = avail_in;
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
