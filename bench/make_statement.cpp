#include "bench/make_statement.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace kvr::bench {

namespace {

const char* const kMemos[] = {
    "PIX RECEBIDO JOS\xC9 DA SILVA",   "PAGTO BOLETO CONDOM\xCDNIO",
    "TARIFA PACOTE SERVI\xC7OS",        "COMPRA CART\xC3O PADARIA S\xC3O JO\xC3O",
    "TED ENVIADA FORNECEDOR A\xC7\xDA" "CAR LTDA", "DEP\xD3SITO EM DINHEIRO",
    "PAGTO CONTA LUZ",                  "RENDIMENTO POUPAN\xC7" "A",
};

}  // namespace

std::size_t WriteStatement(const std::string& path, std::size_t transactions, bool crlf) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) throw std::runtime_error("cannot write " + path);
  const char* eol = crlf ? "\r\n" : "\n";
  std::string chunk;
  chunk.reserve(1 << 20);
  auto line = [&](const std::string& text) {
    chunk += text;
    chunk += eol;
    if (chunk.size() > (1 << 20) - 256) {
      std::fwrite(chunk.data(), 1, chunk.size(), out);
      chunk.clear();
    }
  };
  for (const char* h : {"OFXHEADER:100", "DATA:OFXSGML", "VERSION:102", "SECURITY:NONE",
                        "ENCODING:USASCII", "CHARSET:1252", "COMPRESSION:NONE",
                        "OLDFILEUID:NONE", "NEWFILEUID:NONE", ""}) {
    line(h);
  }
  for (const char* h : {"<OFX>", "<SIGNONMSGSRSV1>", "<SONRS>", "<STATUS>", "<CODE>0",
                        "<SEVERITY>INFO", "</STATUS>", "<DTSERVER>20240201083000[-3:BRT]",
                        "<LANGUAGE>POR", "</SONRS>", "</SIGNONMSGSRSV1>", "<BANKMSGSRSV1>",
                        "<STMTTRNRS>", "<TRNUID>1001", "<STATUS>", "<CODE>0", "<SEVERITY>INFO",
                        "</STATUS>", "<STMTRS>", "<CURDEF>BRL", "<BANKACCTFROM>",
                        "<BANKID>0341", "<ACCTID>12345-6", "<ACCTTYPE>CHECKING",
                        "</BANKACCTFROM>", "<BANKTRANLIST>", "<DTSTART>20240101",
                        "<DTEND>20241231"}) {
    line(h);
  }
  long long cents_total = 0;
  char buf[128];
  for (std::size_t i = 0; i < transactions; ++i) {
    // A spread of amounts, two debits for each credit.
    const long long cents = static_cast<long long>((i * 7919) % 250000) + 1;
    const bool credit = i % 3 == 0;
    const long long signed_cents = credit ? cents : -cents;
    cents_total += signed_cents;
    const int month = static_cast<int>(i % 12) + 1;
    const int day = static_cast<int>(i % 28) + 1;
    line("<STMTTRN>");
    line(credit ? "<TRNTYPE>CREDIT" : "<TRNTYPE>DEBIT");
    std::snprintf(buf, sizeof buf, "<DTPOSTED>2024%02d%02d100000[-3:BRT]", month, day);
    line(buf);
    if (i % 3 == 1) {
      std::snprintf(buf, sizeof buf, "<DTUSER>2024%02d%02d", month, day);
      line(buf);
    }
    std::snprintf(buf, sizeof buf, "<TRNAMT>%s%lld.%02lld", signed_cents < 0 ? "-" : "",
                  cents / 100, cents % 100);
    line(buf);
    std::snprintf(buf, sizeof buf, "<FITID>2024%02d%02d%09zu", month, day, i);
    line(buf);
    std::snprintf(buf, sizeof buf, "<CHECKNUM>%06zu", i % 1000000);
    line(buf);
    std::snprintf(buf, sizeof buf, "<MEMO>%s %zu", kMemos[i % 8], i);
    line(buf);
    line("</STMTTRN>");
  }
  const long long ledger = 1000000000000LL + cents_total;
  std::snprintf(buf, sizeof buf, "<BALAMT>%lld.%02lld", ledger / 100, ledger % 100);
  const char* const balance = buf;
  for (const char* h : {"</BANKTRANLIST>", "<LEDGERBAL>", balance, "<DTASOF>20241231",
                        "</LEDGERBAL>", "<AVAILBAL>", balance, "<DTASOF>20241231", "</AVAILBAL>",
                        "</STMTRS>", "</STMTTRNRS>", "</BANKMSGSRSV1>", "</OFX>"}) {
    line(h);
  }
  std::fwrite(chunk.data(), 1, chunk.size(), out);
  const long size = std::ftell(out);
  if (std::fclose(out) != 0 || size < 0) throw std::runtime_error("cannot write " + path);
  return static_cast<std::size_t>(size);
}

const std::filesystem::path& RunFolder(const std::string& name) {
  struct Owned {
    std::filesystem::path path;
    explicit Owned(const std::string& prefix)
        : path(std::filesystem::temp_directory_path() /
               (prefix + "-" + std::to_string(::getpid()))) {
      std::filesystem::create_directories(path);
    }
    ~Owned() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  };
  static const Owned folder(name);
  return folder.path;
}

}  // namespace kvr::bench
