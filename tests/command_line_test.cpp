// The command line as users and scripts see it: stdout bytes and exit status.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdlib>

#include "front_end/command_line.h"
#include "platform/leading_int.h"
#include "test_support.h"

namespace linkdata::test {
namespace {

// The usage text as the players' guide shows it: the code block that follows
// the guide's words on running the tool without arguments.
std::string guide_banner() {
  const Bytes bytes = read_file(LINKDATA_PLAYERS_GUIDE);
  const std::string guide(bytes.begin(), bytes.end());
  const size_t said = guide.find("不带参数，会显示用法说明");
  if (said == std::string::npos) return "";
  const size_t open = guide.find("```\n", said);
  const size_t close = guide.find("\n```", open);
  if (open == std::string::npos || close == std::string::npos) return "";
  return guide.substr(open + 4, close + 1 - (open + 4));
}

// No mode, or a word that names none, prints the usage text, the same each
// time, with the usage status. The text is the one the players' guide shows,
// byte for byte, it carries the version the build was made as, and it gives a
// usage line for every mode letter.
TEST(CommandLine, BannerForMissingOrUnknownModeWithUsageStatus) {
  const std::string shown = guide_banner();
  ASSERT_FALSE(shown.empty()) << "no usage text in " << LINKDATA_PLAYERS_GUIDE;
  ScratchDir dir;
  for (const auto& args : std::vector<std::vector<std::string>>{{},
                                                                {"e"},
                                                                {"l"},
                                                                {"export", "a", "0", "1"},
                                                                {"x", "a"},
                                                                {"ex", "a", "0", "1"},
                                                                {"list", "a"}}) {
    RunResult r = run_tool(dir.path, args);
    EXPECT_EQ(r.out, shown) << (args.empty() ? "no arguments" : args[0]);
    EXPECT_EQ(r.status, 2);
  }
  const std::string banner = run_tool(dir.path, {}).out;
  EXPECT_NE(banner.find("\n版本：v" LINKDATA_VERSION "\n"), std::string::npos);
  for (const char* mode : {"e", "i", "l", "r"}) {
    EXPECT_NE(banner.find(std::string("：") + mode + " c"), std::string::npos) << mode;
  }
  EXPECT_FALSE(file_exists(dir / "Extracted"));
  EXPECT_FALSE(file_exists(dir / "Import"));
}

TEST(CommandLine, ArgumentErrorsInTheirOrderAndNothingCreated) {
  ScratchDir dir;
  struct Case {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"E", "A"}, "参数不足！\n"},
      {{"e", "a", "0"}, "参数不足！\n"},
      {{"e", "ab", "0", "10"}, "文件编号错误！\n"},
      {{"e", "", "0", "10"}, "文件编号错误！\n"},
      {{"e", "ab", "-1", "10"}, "文件编号错误！\n"},  // letter is checked before numbers
      {{"i", "ab"}, "文件编号错误！\n"},
      {{"I", ""}, "文件编号错误！\n"},
      {{"e", "a", "-1", "10"}, "参数 2 错误！\n"},
      {{"e", "a", "0", "-5"}, "参数 2 错误！\n"},
      {{"r", "a", "0"}, "参数不足！\n"},
      {{"r", "ab"}, "文件编号错误！\n"},
      {{"R", "ab", "-1", "10"}, "文件编号错误！\n"},
      {{"r", "a", "-1", "10"}, "参数 2 错误！\n"},
      {{"r", "a", "0", "-5"}, "参数 2 错误！\n"},
      {{"l", "a", "0"}, "参数不足！\n"},
      {{"L", "ab"}, "文件编号错误！\n"},
      {{"l", "", "0", "10", "y"}, "文件编号错误！\n"},
      {{"l", "a", "-1", "10"}, "参数 2 错误！\n"},
      {{"l", "a", "0", "-5", "y"}, "参数 2 错误！\n"},
  };
  for (const Case& c : cases) {
    RunResult r = run_tool(dir.path, c.args);
    EXPECT_EQ(r.out, c.out) << c.args[0] << " " << c.args[1];
    EXPECT_EQ(r.status, 2);
  }
  EXPECT_FALSE(file_exists(dir / "Extracted"));
  EXPECT_FALSE(file_exists(dir / "Import"));
}

TEST(CommandLine, MissingArchiveNamesTheUpperCaseFileAndFails) {
  ScratchDir dir;
  for (const auto& args : std::vector<std::vector<std::string>>{{"e", "z", "0", "0"}, {"r", "z"}}) {
    RunResult r = run_tool(dir.path, args);
    EXPECT_EQ(r.out, "文件“LINKDATA_EU_OS_EUNA.Z”不存在！\n") << args[0];
    EXPECT_EQ(r.status, 1);
  }
  EXPECT_FALSE(file_exists(dir / "Extracted"));
}

TEST(CommandLine, ImportIgnoresFurtherWords) {
  ScratchDir dir;
  RunResult r = run_tool(dir.path, {"i", "b", "more", "words"});
  EXPECT_EQ(r.out, "导入目录不存在！\n");
  EXPECT_EQ(r.status, 1);
}

TEST(CommandLine, MessagesAreUtf8WhateverTheLocale) {
  ScratchDir dir;
  for (const auto& env : std::vector<std::vector<std::string>>{
           {}, {"LANG=C"}, {"LC_ALL=POSIX"}, {"LANG=C.UTF-8"}, {"LC_ALL=xx_NO.SUCH"}}) {
    RunResult r = run_tool(dir.path, {"e", "a", "0", "-1"}, env);
    EXPECT_EQ(r.out, "参数 2 错误！\n") << (env.empty() ? "" : env[0]);
  }
}

// On a terminal the banner waits for one key press; the child is reaped only
// after the key is sent, so a pause that did not wait would show up as an
// early exit.
TEST(CommandLine, PauseWaitsForOneKeyOnATerminal) {
#ifdef _WIN32
  GTEST_SKIP() << "drives the pause through a POSIX pseudo-terminal";
#else
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    char* argv[] = {const_cast<char*>(LINKDATA_BINARY), nullptr};
    char* envp[] = {nullptr};
    execve(LINKDATA_BINARY, argv, envp);
    _exit(127);
  }
  std::string seen;
  char buf[512];
  while (seen.find("请按任意键继续. . .") == std::string::npos) {
    const ssize_t n = read(master, buf, sizeof buf);
    ASSERT_GT(n, 0) << seen;
    seen.append(buf, size_t(n));
  }
  usleep(100 * 1000);
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "exited without waiting for a key";
  ASSERT_EQ(write(master, "x", 1), 1);
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  close(master);
#endif
}

// A locale whose encoding holds Chinese gets the messages in that encoding;
// one that cannot (Latin-1 here) gets UTF-8 rather than question marks.
TEST(CommandLine, MessagesFollowALocaleEncodingThatHoldsChinese) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX locales only; a Windows console is written in UTF-16";
#endif
  ScratchDir locales;
  const std::string make = "localedef -i C -f GB2312 " + (locales / "zh_CN.GB2312") +
                           " >/dev/null 2>&1 && localedef -i C -f ISO-8859-1 " +
                           (locales / "en_US.ISO-8859-1") + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(make.c_str()), 0) << "needs localedef and Debian's locales package";
  ScratchDir dir;
  RunResult r =
      run_tool(dir.path, {"e", "a", "0", "-1"}, {"LOCPATH=" + locales.path, "LANG=zh_CN.GB2312"});
  EXPECT_EQ(r.out, "\xb2\xce\xca\xfd 2 \xb4\xed\xce\xf3\xa3\xa1\n");
  r = run_tool(dir.path, {"e", "a", "0", "-1"},
               {"LOCPATH=" + locales.path, "LC_ALL=en_US.ISO-8859-1"});
  EXPECT_EQ(r.out, "参数 2 错误！\n");
}

TEST(CommandLine, LeadingIntegerReadsLikeTheWindowsRuntime) {
  EXPECT_EQ(parse_leading_int(L"12"), 12);
  EXPECT_EQ(parse_leading_int(L"0012"), 12);
  EXPECT_EQ(parse_leading_int(L"  \t7x"), 7);
  EXPECT_EQ(parse_leading_int(L"+5"), 5);
  EXPECT_EQ(parse_leading_int(L"-3"), -3);
  EXPECT_EQ(parse_leading_int(L"x3"), 0);
  EXPECT_EQ(parse_leading_int(L""), 0);
  EXPECT_EQ(parse_leading_int(L"12.9"), 12);
  EXPECT_EQ(parse_leading_int(L"1e3"), 1);
  EXPECT_EQ(parse_leading_int(L"2147483647"), 2147483647);
  EXPECT_EQ(parse_leading_int(L"99999999999999999999"), 2147483647);
  EXPECT_EQ(parse_leading_int(L"-2147483648"), -2147483647 - 1);
  EXPECT_EQ(parse_leading_int(L"-99999999999"), -2147483647 - 1);
}

}  // namespace
}  // namespace linkdata::test
