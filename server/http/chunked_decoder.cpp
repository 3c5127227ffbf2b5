#include "http/chunked_decoder.h"

#include <algorithm>
#include <charconv>

namespace kvr::server {

namespace {

// A size or trailer line longer than this is no chunk of an honest client.
constexpr size_t kMaxLine = 4096;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The end of the token at pos in line.
size_t TokenEnd(std::string_view line, size_t pos) {
  size_t end = pos;
  while (end < line.size() && IsToken(line.substr(end, 1))) ++end;
  return end;
}

// The end of the quoted string starting at pos (on its opening quote), or
// npos when it is not one.
size_t QuotedEnd(std::string_view line, size_t pos) {
  for (size_t i = pos + 1; i < line.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    if (c == '"') return i + 1;
    if (c == '\\') {
      if (++i == line.size() || !IsFieldChar(static_cast<unsigned char>(line[i])))
        return std::string_view::npos;
    } else if (!IsFieldChar(c)) {
      return std::string_view::npos;
    }
  }
  return std::string_view::npos;
}

// Whether line, after the size, is a valid list of chunk extensions:
// *( BWS ";" BWS name [ BWS "=" BWS ( token / quoted-string ) ] ).
bool ValidExtensions(std::string_view line) {
  size_t pos = 0;
  auto skip = [&] {
    while (pos < line.size() && IsBlank(line[pos])) ++pos;
  };
  while (true) {
    skip();
    if (pos == line.size()) return true;
    if (line[pos++] != ';') return false;
    skip();
    const size_t name = TokenEnd(line, pos);
    if (name == pos) return false;
    pos = name;
    skip();
    if (pos == line.size() || line[pos] != '=') continue;
    ++pos;
    skip();
    if (pos < line.size() && line[pos] == '"') {
      pos = QuotedEnd(line, pos);
      if (pos == std::string_view::npos) return false;
    } else {
      const size_t value = TokenEnd(line, pos);
      if (value == pos) return false;
      pos = value;
    }
  }
}

}  // namespace

ChunkedDecoder::Step ChunkedDecoder::Refuse() {
  fault_ = {400,
            "Requisição recusada: corpo em pedaços (chunked) malformado; envie cada pedaço como "
            "tamanho em hexadecimal, CRLF, os bytes e CRLF, e termine com \"0\", CRLF e CRLF."};
  return Step::kFault;
}

bool ChunkedDecoder::TakeLine(std::string_view data, size_t& pos) {
  const size_t end = data.find('\n', pos);
  const size_t stop = end == std::string_view::npos ? data.size() : end + 1;
  line_.append(data.substr(pos, stop - pos));
  pos = stop;
  return end != std::string_view::npos;
}

bool ChunkedDecoder::ParseSize(std::string_view line) {
  const char* end = line.data() + line.size();
  const auto [stop, error] = std::from_chars(line.data(), end, left_, 16);
  return error == std::errc() && ValidExtensions({stop, static_cast<size_t>(end - stop)});
}

ChunkedDecoder::Step ChunkedDecoder::Feed(std::string_view data, size_t& used, const Sink& sink) {
  size_t pos = 0;
  used = 0;
  while (state_ != State::kDone && pos < data.size()) {
    if (state_ == State::kData) {
      const size_t take = static_cast<size_t>(std::min<std::uint64_t>(left_, data.size() - pos));
      const bool go_on = sink(data.data() + pos, take);
      pos += take;
      left_ -= take;
      if (left_ == 0) state_ = State::kDataEnd;
      if (!go_on) break;
      continue;
    }
    const bool whole = TakeLine(data, pos);
    if (line_.size() > kMaxLine) return Refuse();
    if (!whole) break;
    // Every line ends with CRLF, and holds no other CR.
    if (line_.size() < 2 || line_[line_.size() - 2] != '\r') return Refuse();
    const std::string_view line(line_.data(), line_.size() - 2);
    if (line.find('\r') != std::string_view::npos) return Refuse();
    if (state_ == State::kSize) {
      if (!ParseSize(line)) return Refuse();
      state_ = left_ == 0 ? State::kTrailer : State::kData;
    } else if (state_ == State::kDataEnd) {
      if (!line.empty()) return Refuse();
      state_ = State::kSize;
    } else if (line.empty()) {
      state_ = State::kDone;
    } else {
      HttpField field;
      trailer_bytes_ += line_.size();
      if (trailer_bytes_ > kMaxHead || ParseField(line, field).status != 0) return Refuse();
    }
    line_.clear();
  }
  used = pos;
  return state_ == State::kDone ? Step::kDone : Step::kMore;
}

}  // namespace kvr::server
