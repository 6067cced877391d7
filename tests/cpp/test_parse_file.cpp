#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "test_parse_support.hpp"

using namespace vel;
using namespace vel::testing_parse;

namespace {

// A fresh directory for the files of one test, removed afterwards.
class ReadFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vel_parse_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& bytes) {
    std::filesystem::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }

  std::filesystem::path dir_;
};

TEST_F(ReadFile, ParsesAFileReadWhole) {
  std::string source =
      "// \xc3\xa9 \xf0\x9d\x84\x9e\nf() -> () {\n" + std::string(100'000, ' ') + "}\n";
  Module m = parse_file(write("ok.vel", source));
  EXPECT_EQ(m.header_comments, std::vector<Text>{"// \xc3\xa9 \xf0\x9d\x84\x9e"});
  EXPECT_EQ(m.functions.size(), 1u);

  std::string text;
  EXPECT_EQ(read_text_file(write("big.vel", source), text), std::nullopt);
  EXPECT_EQ(text, source);
  EXPECT_EQ(read_text_file(write("empty.vel", ""), text), std::nullopt);
  EXPECT_EQ(text, "");
}

TEST_F(ReadFile, FileThatClaimsNoSizeIsReadToItsEnd) {
  std::string fifo = (dir_ / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string sent = "// " + std::string(50'000, 'x') + "\n";
  std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << sent; });
  std::string text;
  EXPECT_EQ(read_text_file(fifo, text), std::nullopt);
  writer.join();
  EXPECT_EQ(text, sent);
}

TEST_F(ReadFile, MissingFileAndDirectory) {
  std::string missing = (dir_ / "nope.vel").string();
  EXPECT_EQ(stop_message([&] { parse_file(missing); }),
            kUnwrap + R"(Os { code: 2, kind: NotFound, message: "No such file or directory" })");
  EXPECT_EQ(stop_message([&] { parse_file(dir_.string()); }),
            kUnwrap + R"(Os { code: 21, kind: IsADirectory, message: "Is a directory" })");
  EXPECT_EQ(stop_message([&] { parse_file(""); }),
            kUnwrap + R"(Os { code: 2, kind: NotFound, message: "No such file or directory" })");
  EXPECT_EQ(stop_message([&] { parse_file(write("plain", "x") + "/inside"); }),
            kUnwrap + R"(Os { code: 20, kind: NotADirectory, message: "Not a directory" })");
}

TEST_F(ReadFile, PathHoldingNul) {
  std::string path = write("a", "f() -> () {}");
  std::string with_nul = path + std::string("\0b", 2);
  EXPECT_EQ(
      stop_message([&] { parse_file(with_nul); }),
      kUnwrap +
          R"(Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" })");
}

TEST_F(ReadFile, InvalidUtf8) {
  const std::string message =
      kUnwrap + R"(Error { kind: InvalidData, message: "stream did not contain valid UTF-8" })";
  for (std::string bytes : {
           "\xff", "abc\x80", "\xc0\xaf",           // stray bytes, overlong slash
           "\xc1\xbf", "\xe0\x9f\xbf",              // overlong two and three bytes
           "\xf0\x8f\xbf\xbf",                      // overlong four bytes
           "\xed\xa0\x80", "\xed\xbf\xbf",          // surrogates
           "\xf4\x90\x80\x80", "\xf5\x80\x80\x80",  // above U+10FFFF
           "\xc3", "\xe2\x82", "\xf0\x9f\x98",      // truncated at the end
           "\xe2\x28\xa1", "\xc3(",                 // bad continuation
           "12345678\xe9"                           // after a run of ASCII
       }) {
    std::string path = write("bad", "// " + bytes);
    EXPECT_EQ(stop_message([&] { parse_file(path); }), message);
  }
  for (std::string bytes :
       {"\x7f", "\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf", "\xee\x80\x80",
        "\xef\xbf\xbf", "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf"}) {
    std::string text;
    EXPECT_EQ(read_text_file(write("good", bytes), text), std::nullopt);
    EXPECT_EQ(text, bytes);
  }
}

TEST(ReadErrorForms, DebugAndDisplay) {
  struct Case {
    ReadError error;
    std::string debug, display;
  };
  for (
      const Case& c : std::vector<Case>{
          {{ReadError::Kind::Os, 2},
           R"(Os { code: 2, kind: NotFound, message: "No such file or directory" })",
           "No such file or directory (os error 2)"},
          {{ReadError::Kind::Os, 13},
           R"(Os { code: 13, kind: PermissionDenied, message: "Permission denied" })",
           "Permission denied (os error 13)"},
          {{ReadError::Kind::Os, 1},
           R"(Os { code: 1, kind: PermissionDenied, message: "Operation not permitted" })",
           "Operation not permitted (os error 1)"},
          {{ReadError::Kind::Os, 36},
           R"(Os { code: 36, kind: InvalidFilename, message: "File name too long" })",
           "File name too long (os error 36)"},
          {{ReadError::Kind::Os, 40},
           R"(Os { code: 40, kind: FilesystemLoop, message: "Too many levels of symbolic links" })",
           "Too many levels of symbolic links (os error 40)"},
          {{ReadError::Kind::Os, 5},
           R"(Os { code: 5, kind: Uncategorized, message: "Input/output error" })",
           "Input/output error (os error 5)"},
          {{ReadError::Kind::Os, 9999},
           R"(Os { code: 9999, kind: Uncategorized, message: "Unknown error 9999" })",
           "Unknown error 9999 (os error 9999)"},
          {{ReadError::Kind::InvalidData},
           R"(Error { kind: InvalidData, message: "stream did not contain valid UTF-8" })",
           "stream did not contain valid UTF-8"},
          {{ReadError::Kind::InvalidInput},
           R"(Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" })",
           "file name contained an unexpected NUL byte"},
      }) {
    EXPECT_EQ(debug_read_error(c.error), c.debug);
    EXPECT_EQ(display_read_error(c.error), c.display);
  }
}

TEST(ReadErrorForms, KindWordsOfErrorNumbers) {
  const std::vector<std::pair<int, std::string>> kinds = {
      {1, "PermissionDenied"},    {2, "NotFound"},
      {4, "Interrupted"},         {7, "ArgumentListTooLong"},
      {11, "WouldBlock"},         {12, "OutOfMemory"},
      {13, "PermissionDenied"},   {16, "ResourceBusy"},
      {17, "AlreadyExists"},      {18, "CrossesDevices"},
      {20, "NotADirectory"},      {21, "IsADirectory"},
      {22, "InvalidInput"},       {26, "ExecutableFileBusy"},
      {27, "FileTooLarge"},       {28, "StorageFull"},
      {29, "NotSeekable"},        {30, "ReadOnlyFilesystem"},
      {31, "TooManyLinks"},       {32, "BrokenPipe"},
      {35, "Deadlock"},           {36, "InvalidFilename"},
      {38, "Unsupported"},        {39, "DirectoryNotEmpty"},
      {40, "FilesystemLoop"},     {95, "Unsupported"},
      {98, "AddrInUse"},          {99, "AddrNotAvailable"},
      {100, "NetworkDown"},       {101, "NetworkUnreachable"},
      {103, "ConnectionAborted"}, {104, "ConnectionReset"},
      {107, "NotConnected"},      {110, "TimedOut"},
      {111, "ConnectionRefused"}, {113, "HostUnreachable"},
      {115, "InProgress"},        {116, "StaleNetworkFileHandle"},
      {122, "QuotaExceeded"},     {3, "Uncategorized"},
      {0, "Uncategorized"},       {-1, "Uncategorized"},
      {133, "Uncategorized"}};
  for (const auto& [code, kind] : kinds) {
    std::string debug = debug_read_error({ReadError::Kind::Os, code});
    std::string prefix = "Os { code: " + std::to_string(code) + ", kind: " + kind + ", message: ";
    EXPECT_EQ(debug.substr(0, prefix.size()), prefix) << code;
  }
}

}  // namespace
