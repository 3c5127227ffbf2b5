#include "qt/text.h"

#include "platform/encoding.h"
#include "wire/utf8.h"

namespace kvr::qt {

namespace {

// Lead bytes as in well-formed UTF-8, continuation bytes 0x80 to 0xBF.
bool IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const auto extra = static_cast<size_t>(Utf8Lead(lead).more);
    if (lead >= 0x80 && extra == 0) return false;
    if (i + extra >= text.size() && extra > 0) return false;
    for (size_t k = 1; k <= extra; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += extra + 1;
  }
  return true;
}

}  // namespace

QString ToQString(std::string_view cp1252) {
  const std::string utf8 = Cp1252ToUtf8(cp1252);
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string FromQString(const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  return Utf8ToCp1252(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())));
}

QString MessageToQString(std::string_view text) {
  if (IsValidUtf8(text)) return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  return ToQString(text);
}

QString ErrorText(const std::exception& error) { return MessageToQString(error.what()); }

}  // namespace kvr::qt
