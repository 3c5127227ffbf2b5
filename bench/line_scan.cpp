// line_scan FILE: the yardstick of bench/import_scale, timed as a whole
// process. The plainest reading of a statement that still looks at what it
// holds: the file read into a string, split at its line ends, each line
// tested for seven tags without regard to case and each tag's value copied
// out. Prints how many values it found.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "uso: line_scan ARQUIVO\n");
    return 64;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "line_scan: não foi possível ler %s\n", argv[1]);
    return 1;
  }
  in.seekg(0, std::ios::end);
  std::string text(static_cast<std::size_t>(in.tellg()), '\0');
  in.seekg(0);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));

  static const char* const kTags[] = {"<OFX>",   "<BANKID>",  "<ACCTID>", "<DTSTART>",
                                      "<DTEND>", "<STMTTRN>", "<BALAMT>"};
  std::vector<std::string> values;
  std::string upper;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    upper.resize(line.size());
    std::transform(line.begin(), line.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    for (const char* tag : kTags) {
      const std::size_t at = upper.find(tag);
      if (at != std::string::npos) values.emplace_back(line.substr(at + std::char_traits<char>::length(tag)));
    }
    begin = end + 1;
  }
  std::printf("%zu\n", values.size());
  return 0;
}
