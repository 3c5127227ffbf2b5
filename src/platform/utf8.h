#pragma once

namespace kvr {

// What a lead byte promises in well-formed UTF-8 (RFC 3629: no overlong
// forms, no surrogates, nothing past U+10FFFF): how many continuation bytes
// follow it and the range the first of them must lie in (the others lie in
// 0x80-0xBF). more is 0 for a byte that begins no multi-byte sequence.
struct TUtf8Lead {
  int more = 0;
  unsigned char low = 0x80, high = 0xBF;
};

inline TUtf8Lead Utf8Lead(unsigned char lead) {
  TUtf8Lead out;
  if (lead >= 0xC2 && lead <= 0xDF) {
    out.more = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    out.more = 2;
    if (lead == 0xE0) out.low = 0xA0;
    if (lead == 0xED) out.high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    out.more = 3;
    if (lead == 0xF0) out.low = 0x90;
    if (lead == 0xF4) out.high = 0x8F;
  }
  return out;
}

}  // namespace kvr
