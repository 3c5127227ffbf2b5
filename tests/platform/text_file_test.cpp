#include "platform/text_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/cp1252.h"
#include "platform/errors.h"

namespace kvr {
namespace {

std::vector<std::string> LinesOf(const std::string& text) {
  LineReader reader(text);
  std::vector<std::string> out;
  std::string_view line;
  while (reader.Next(line)) out.emplace_back(line);
  return out;
}

struct SplitCase {
  std::string text;
  std::vector<std::string> lines;
};

TEST(LineReader, SplitsAtCrLfLfAndCr) {
  const SplitCase cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\r\nb", {"a", "b"}},
      {"a\nb\rc\r\nd", {"a", "b", "c", "d"}},
      {"\n", {""}},
      {"\r\n\r\n", {"", ""}},
      {"a\n\nb", {"a", "", "b"}},
      {"a\r\rb", {"a", "", "b"}},
      {"a\n\r", {"a", ""}},
      {"\ta b\x01\n", {"\ta b\x01"}},
      {std::string("x\0y\n", 4), {std::string("x\0y", 3)}},
  };
  for (const auto& c : cases) EXPECT_EQ(LinesOf(c.text), c.lines);
}

class TextFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("kvr-text-file-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Write(const std::string& name, const std::string& content) {
    const auto path = dir_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }
  std::filesystem::path dir_;
};

TEST_F(TextFileTest, ReadsTheWholeFileAsBytes) {
  const std::string content = "OFXHEADER:100\r\n<OFX>\r\néç\r\n"_cp1252;
  const std::string path = Write("a.ofx", content);
  std::string read;
  ASSERT_TRUE(ReadWholeFile(path, read));
  EXPECT_EQ(read, content);
}

TEST_F(TextFileTest, MissingFileIsNoFile) {
  std::string read = "kept";
  EXPECT_FALSE(ReadWholeFile((dir_ / "none.ofx").string(), read));
  const std::string file = Write("plain", "x");
  EXPECT_FALSE(ReadWholeFile(file + "/below", read));
  EXPECT_EQ(read, "kept");
  EXPECT_FALSE(FileExists(dir_.string()));
  EXPECT_TRUE(FileExists(file));
}

TEST_F(TextFileTest, FileContentsReadsTheWholeFile) {
  const std::string content = "<OFX>\r\né\r\n"_cp1252;
  FileContents file;
  ASSERT_TRUE(file.Open(Write("a.ofx", content)));
  EXPECT_EQ(file.Text(), content);
  ASSERT_TRUE(file.Open(Write("empty.ofx", "")));
  EXPECT_EQ(file.Text(), "");
  EXPECT_FALSE(file.Open((dir_ / "none.ofx").string()));
  EXPECT_EQ(file.Text(), "");
  EXPECT_THROW(file.Open("/proc/self/mem"), EFileError);
}

TEST_F(TextFileTest, ReleasingTheFrontOfALargeFileKeepsTheRest) {
  // Large files lie in huge pages, given back whole: the page that holds the
  // position, and all after it, must keep their bytes.
  std::string content(5 << 20, 'x');
  for (size_t i = 0; i < content.size(); i += 4093) content[i] = static_cast<char>('a' + i % 26);
  FileContents file;
  ASSERT_TRUE(file.Open(Write("large.ofx", content)));
  for (size_t position : {size_t{1} << 20, (size_t{2} << 20) + 17, (size_t{4} << 20) + 1}) {
    file.ReleaseBefore(file.Text().data() + position);
    EXPECT_EQ(file.Text().substr(position), std::string_view(content).substr(position)) << position;
  }
}

TEST_F(TextFileTest, OnlyRegularFilesAreRead) {
  // A pipe would block the reader for ever and /dev/zero fill its memory:
  // each is refused at once, saying what it is.
  // The message names the file as it is on disk (UTF-8).
  const std::string fifo = (dir_ / "extrato março.ofx").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::string path;
    std::string shown;  // the path as the message gives it
    const char* kind;
  };
  const Case cases[] = {{dir_.string(), dir_.string(), "uma pasta"},
                        {fifo, (dir_ / "extrato março.ofx").string(), "um pipe"},
                        {"/dev/zero", "/dev/zero", "um dispositivo"}};
  for (const auto& c : cases) {
    const std::string expected = "\"" + c.shown + "\" não é um arquivo comum, é " + c.kind +
                                 ": escolha o arquivo do extrato";
    std::string read;
    try {
      ReadWholeFile(c.path, read);
      ADD_FAILURE() << "no error for " << c.path;
    } catch (const EFileError& e) {
      EXPECT_EQ(std::string(e.what()), expected);
    }
    FileContents file;
    EXPECT_THROW(file.Open(c.path), EFileError) << c.path;
  }
}

TEST_F(TextFileTest, UnreadableFileIsAnError) {
  std::string path;
  if (::geteuid() == 0) {
    // Permissions do not stop the superuser; this file exists and fails to read.
    path = "/proc/self/mem";
  } else {
    path = Write("locked.ofx", "x");
    std::filesystem::permissions(path, std::filesystem::perms::none);
  }
  std::string read;
  try {
    ReadWholeFile(path, read);
    FAIL() << "no error";
  } catch (const EFileError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("não foi possível ler o arquivo \"" + path + "\": ", 0),
              0u);
  }
}

}  // namespace
}  // namespace kvr
