// Keeps the messages of the sources greppable: every C++ source under the
// folders given is UTF-8, and no string literal spells a byte of 0x80 or
// more as an escape ("N\xE3o", "N\343o"). A text is written as its
// characters: a plain literal for UTF-8, "..."_cp1252 for a module text
// (platform/cp1252.h).
//
// Usage: source_texts_check [--allow RELATIVE_PATH]... ROOT FOLDER_OR_FILE...
// Paths are taken relative to ROOT; an allowed file may hold such escapes
// (the code page's own tables, byte handling that needs them). Prints one
// line per finding, "path:line: what", and exits 1 when there is any.
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;

bool IsSource(const fs::path& path) {
  const std::string ext = path.extension().string();
  return ext == ".cpp" || ext == ".cc" || ext == ".h" || ext == ".hpp" || ext == ".inc";
}

// The 1-based line of the first byte that does not begin a well-formed
// UTF-8 sequence, or 0.
int FirstLineNotUtf8(std::string_view text) {
  int line = 1;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead == '\n') ++line;
    std::size_t more = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead < 0x80) {
      more = 0;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      more = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      more = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      more = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return line;
    }
    if (i + more >= text.size() && more > 0) return line;
    for (std::size_t k = 1; k <= more; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return line;
    }
    i += more + 1;
  }
  return 0;
}

struct Finding {
  int line;
  std::string escape;
};

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsWord(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }

bool IsNumber(std::string_view word) { return !word.empty() && std::isdigit(static_cast<unsigned char>(word[0])); }

// The identifier or number that ends just before i.
std::string_view WordBefore(std::string_view text, std::size_t i) {
  std::size_t start = i;
  while (start > 0 && IsWord(text[start - 1])) --start;
  return text.substr(start, i - start);
}

// The escapes of bytes 0x80 and up inside the string literals of text;
// comments, character literals and raw strings are skipped.
std::vector<Finding> ByteEscapes(std::string_view text) {
  std::vector<Finding> found;
  int line = 1;
  std::size_t i = 0;
  const std::size_t n = text.size();
  auto advance_to = [&](std::size_t end) {
    for (; i < end && i < n; ++i)
      if (text[i] == '\n') ++line;
  };
  while (i < n) {
    const char c = text[i];
    if (c == '\n') {
      ++line;
      ++i;
    } else if (text.substr(i, 2) == "//") {
      advance_to(text.find('\n', i) == std::string_view::npos ? n : text.find('\n', i));
    } else if (text.substr(i, 2) == "/*") {
      const std::size_t end = text.find("*/", i + 2);
      advance_to(end == std::string_view::npos ? n : end + 2);
    } else if (c == 'R' && i + 1 < n && text[i + 1] == '"' &&
               (WordBefore(text, i).empty() || WordBefore(text, i) == "u8" || WordBefore(text, i) == "u" ||
                WordBefore(text, i) == "U" || WordBefore(text, i) == "L")) {
      const std::size_t open = text.find('(', i + 2);
      if (open == std::string_view::npos) break;
      const std::string close = ")" + std::string(text.substr(i + 2, open - i - 2)) + "\"";
      const std::size_t end = text.find(close, open);
      advance_to(end == std::string_view::npos ? n : end + close.size());
    } else if (c == '\'' && !IsNumber(WordBefore(text, i))) {
      // A character literal; a digit separator (1'000) is not one.
      ++i;
      while (i < n && text[i] != '\'' && text[i] != '\n') i += text[i] == '\\' ? 2 : 1;
      ++i;
    } else if (c == '"') {
      ++i;
      while (i < n && text[i] != '"' && text[i] != '\n') {
        if (text[i] != '\\') {
          ++i;
          continue;
        }
        const std::size_t start = i;
        unsigned value = 0;
        if (i + 1 < n && text[i + 1] == 'x') {
          i += 2;
          while (i < n && IsHex(text[i])) {
            const char h = text[i++];
            value = value * 16 + static_cast<unsigned>(h <= '9' ? h - '0' : (h | 0x20) - 'a' + 10);
            if (value > 0xFFFF) value = 0xFFFF;
          }
        } else if (i + 1 < n && text[i + 1] >= '0' && text[i + 1] <= '7') {
          ++i;
          for (int k = 0; k < 3 && i < n && text[i] >= '0' && text[i] <= '7'; ++k) value = value * 8 + (text[i++] - '0');
        } else {
          i += 2;
          continue;
        }
        if (value >= 0x80) found.push_back({line, std::string(text.substr(start, i - start))});
      }
      ++i;
    } else {
      ++i;
    }
  }
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  std::set<std::string> allowed;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--allow" && i + 1 < argc)
      allowed.insert(argv[++i]);
    else
      args.emplace_back(argv[i]);
  }
  if (args.size() < 2) {
    std::fprintf(stderr, "uso: source_texts_check [--allow CAMINHO]... RAIZ PASTA_OU_ARQUIVO...\n");
    return 2;
  }
  const fs::path root = args[0];
  std::vector<fs::path> files;
  for (std::size_t a = 1; a < args.size(); ++a) {
    const fs::path start = root / args[a];
    if (fs::is_regular_file(start)) {
      files.push_back(start);
      continue;
    }
    if (!fs::is_directory(start)) {
      std::fprintf(stderr, "%s: not found\n", start.c_str());
      return 2;
    }
    for (const auto& entry : fs::recursive_directory_iterator(start))
      if (entry.is_regular_file() && IsSource(entry.path())) files.push_back(entry.path());
  }
  int findings = 0;
  for (const fs::path& file : files) {
    const std::string shown = file.lexically_relative(root).string();
    std::ifstream in(file, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (const int line = FirstLineNotUtf8(text); line != 0) {
      std::printf("%s:%d: bytes that are not UTF-8; save the file as UTF-8\n", shown.c_str(), line);
      ++findings;
    }
    if (allowed.count(shown) != 0) continue;
    for (const Finding& f : ByteEscapes(text)) {
      std::printf("%s:%d: %s in a string literal; write the character (a plain literal is UTF-8, "
                  "\"...\"_cp1252 a module text)\n",
                  shown.c_str(), f.line, f.escape.c_str());
      ++findings;
    }
  }
  std::printf("%zu files, %d findings\n", files.size(), findings);
  return findings == 0 ? 0 : 1;
}
