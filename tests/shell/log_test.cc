#include "shell/log.h"

#include "shell/exceptions.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = std::string(::testing::TempDir()) + "log_test_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
    std::remove(path_.c_str());
    StartLogAndWinsock(path_.c_str());
  }
  void TearDown() override {
    StopLogAndWinsock();
    std::remove(path_.c_str());
  }
  std::string path_;
};

const char* kStamp = R"(\[\d\d/\d\d/\d\d \d\d:\d\d:\d\d\] )";

TEST_F(LogFileTest, LineFormatsOfEachCall) {
  LogMessage("hello %d", 42);
  LogError("bad %s", "thing");
  LogErrorPlain("plain %s", "error");
  LogRaw("raw%s", "-text");
  LogRaw("\n");
  std::string s = ReadFile(path_);
  std::regex expected(std::string("^") + kStamp + "hello 42\n" + "Error: " + kStamp + "bad thing\n" +
                      "Error: plain error\n" + "raw-text\n$");
  EXPECT_TRUE(std::regex_match(s, expected)) << s;
}

TEST_F(LogFileTest, MessagesAreCutAtTheirLimits) {
  std::string big(10000, 'x');
  LogMessage("%s", big.c_str());
  LogErrorPlain("%s", big.c_str());
  LogRaw("%s", big.c_str());
  std::string s = ReadFile(path_);
  std::istringstream lines(s);
  std::string stamped, plain;
  std::getline(lines, stamped);
  std::getline(lines, plain);
  EXPECT_EQ(stamped.size(), 20u + 8171u);  // the prefix plus the cut message
  EXPECT_EQ(plain.size(), 7u + 8191u);     // "Error: " plus the cut message
  std::string raw;
  std::getline(lines, raw);
  EXPECT_EQ(raw.size(), 8191u);
}

TEST_F(LogFileTest, OverwriteTruncatesOnceAtTheNextWrite) {
  LogMessage("before settings");
  RequestLogTruncate();
  EXPECT_NE(ReadFile(path_).find("before settings"), std::string::npos) << "truncation is deferred";
  LogMessage("first after");
  LogMessage("second after");
  std::string s = ReadFile(path_);
  EXPECT_EQ(s.find("before settings"), std::string::npos);
  EXPECT_NE(s.find("first after"), std::string::npos);
  EXPECT_NE(s.find("second after"), std::string::npos);
  // A second application of the settings (a reload) does not truncate again.
  RequestLogTruncate();
  LogMessage("after reload");
  s = ReadFile(path_);
  EXPECT_NE(s.find("first after"), std::string::npos);
  EXPECT_NE(s.find("after reload"), std::string::npos);
}

TEST_F(LogFileTest, DeletedLogFileIsCreatedAgain) {
  LogMessage("one");
  std::remove(path_.c_str());
  LogMessage("two");
  std::string s = ReadFile(path_);
  EXPECT_EQ(s.find("one"), std::string::npos);
  EXPECT_NE(s.find("two"), std::string::npos);
}

TEST_F(LogFileTest, HexDumpOfSeventeenBytes) {
  unsigned char data[17];
  for (int i = 0; i < 17; ++i) data[i] = static_cast<unsigned char>(0x41 + i);
  data[1] = 0x05;  // control byte shown as "."
  data[2] = 0xC3;  // high byte shown as "."
  LogHexDump(17, data);
  std::string s = ReadFile(path_);
  std::string full = "41 05 C3 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50  A..DEFGHIJKLMNOP\n";
  ASSERT_EQ(full.size(), 66u);
  std::string last = "51" + std::string(47, ' ') + "Q\n";
  EXPECT_EQ(s, "\n" + full + last + "\n");
}

TEST_F(LogFileTest, HexDumpOfNothingWritesOneNewline) {
  LogHexDump(0, nullptr);
  EXPECT_EQ(ReadFile(path_), "\n");
}

TEST_F(LogFileTest, AccessLogGoesOnlyToItsFile) {
  std::string access = path_ + ".access";
  LogToFile(access.c_str(), false, "REQ %d", 1);
  LogToFile(access.c_str(), false, "REQ %d", 2);
  EXPECT_TRUE(std::regex_match(ReadFile(access), std::regex(std::string("^") + kStamp + "REQ 1\n" + kStamp + "REQ 2\n$")));
  LogToFile(access.c_str(), true, "REQ %d", 3);
  EXPECT_TRUE(std::regex_match(ReadFile(access), std::regex(std::string("^") + kStamp + "REQ 3\n$")));
  LogToFile(nullptr, false, "nothing");
  LogToFile("", false, "nothing");
  EXPECT_EQ(ReadFile(path_), "");
  std::remove(access.c_str());
}

TEST_F(LogFileTest, ExceptionReportFormats) {
  RunReported("DNS::StatusThread", [] { throw VCSE(0xC0000005); });
  RunReported("DNS::ReloadThread", [] { throw std::runtime_error("disk gone"); });
  RunReported("DC::OpenConnection", [] { throw 1; });
  std::string s = ReadFile(path_);
  std::regex expected(std::string("^Error: ") + kStamp +
                      R"(\[DNS::StatusThread\] SEH Exception: Access violation \(error code: 0xc0000005\)\n)" +
                      "Error: " + kStamp + R"(\[DNS::ReloadThread\] Exception: disk gone\n)" + "Error: " + kStamp +
                      R"(\[DC::OpenConnection\] Unknown exception\n$)");
  EXPECT_TRUE(std::regex_match(s, expected)) << s;
}

TEST(LogInactive, CallsBeforeStartWriteNothing) {
  std::string path = std::string(::testing::TempDir()) + "inactive.log";
  std::remove(path.c_str());
  LogToFile(path.c_str(), false, "x");  // not armed
  std::ifstream in(path);
  EXPECT_FALSE(in.good());
}

}  // namespace
