// The players' guide lists, in the tables of its message section, every text
// of the message catalogue once, and nothing the tool no longer prints; and
// every Chinese text that the built tool holds stands in the guide. A message
// stands in backticks in the first column, filled in as the catalogue's
// examples fill it.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "message_examples.h"
#include "platform/messages.h"
#include "platform/text_encoding.h"
#include "test_support.h"

namespace linkdata::test {
namespace {

const std::string kMessageSection = "## 每条消息的意思和处理办法";

std::string trimmed(const std::string& text) {
  const size_t begin = text.find_first_not_of(' ');
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(' ') + 1 - begin);
}

// Every `quoted` text in the first cell of a table row of the message section.
std::vector<std::string> guide_messages(const std::string& guide) {
  std::vector<std::string> found;
  bool in_section = false;
  size_t start = 0;
  while (start < guide.size()) {
    size_t end = guide.find('\n', start);
    if (end == std::string::npos) end = guide.size();
    const std::string line = guide.substr(start, end - start);
    start = end + 1;
    if (line.rfind("## ", 0) == 0) in_section = line == kMessageSection;
    if (!in_section || line.rfind("|", 0) != 0) continue;
    const std::string cell = line.substr(1, line.find('|', 1) - 1);
    for (size_t open = cell.find('`'); open != std::string::npos;) {
      const size_t close = cell.find('`', open + 1);
      if (close == std::string::npos) break;
      found.push_back(trimmed(cell.substr(open + 1, close - open - 1)));
      open = cell.find('`', close + 1);
    }
  }
  return found;
}

std::vector<std::string> catalogue_examples() {
  std::vector<std::string> out;
  for (const std::wstring& text : msg::examples()) out.push_back(trimmed(to_utf8(text)));
  return out;
}

struct GuideMessages : ::testing::Test {
  void SetUp() override {
    const Bytes bytes = read_file(LINKDATA_PLAYERS_GUIDE);
    ASSERT_FALSE(bytes.empty()) << "cannot read " << LINKDATA_PLAYERS_GUIDE;
    guide = guide_messages(std::string(bytes.begin(), bytes.end()));
    ASSERT_FALSE(guide.empty()) << "no message table under " << kMessageSection;
  }
  std::vector<std::string> guide;
};

TEST_F(GuideMessages, ListsEveryMessageOfTheCatalogueOnce) {
  for (const std::string& text : catalogue_examples()) {
    EXPECT_EQ(std::count(guide.begin(), guide.end(), text), 1) << "listed this often: " << text;
  }
}

TEST_F(GuideMessages, ListsNoMessageThatTheToolDoesNotPrint) {
  const std::vector<std::string> catalogue = catalogue_examples();
  for (const std::string& text : guide) {
    EXPECT_TRUE(std::find(catalogue.begin(), catalogue.end(), text) != catalogue.end())
        << "not printed by the tool: " << text;
  }
}

bool is_chinese(uint32_t c) {
  return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3000 && c <= 0x303F) ||
         (c >= 0xFF00 && c <= 0xFFEF) || c == 0x201C || c == 0x201D || c == 0x2026;
}

// The wide string literals of a program that hold Chinese, cut at their line
// ends: runs of text characters (printable ASCII, tab, line end, Chinese)
// that start right after a terminating zero, end in one and hold at least two
// Chinese characters, the way literals lie one after the other in its data.
// The tool's Chinese texts are all wide; with wchar_t of 4 bytes (Linux) the
// program's other bytes seldom pass for such a run.
std::set<std::string> chinese_texts_in(const Bytes& program) {
  const size_t unit = sizeof(wchar_t);
  std::set<std::string> texts;
  std::wstring run;
  bool after_zero = false;
  for (size_t at = 0; at + unit <= program.size(); at += unit) {
    uint32_t c = 0;
    for (size_t b = 0; b < unit; ++b) c |= uint32_t(program[at + b]) << (8 * b);
    const bool text = c == L'\t' || c == L'\n' || (c >= 0x20 && c < 0x7F) || is_chinese(c);
    if (c != 0 && text) {
      run += wchar_t(c);
      continue;
    }
    const bool chinese = std::count_if(run.begin(), run.end(),
                                       [](wchar_t w) { return is_chinese(uint32_t(w)); }) >= 2;
    if (c == 0 && after_zero && chinese) {
      size_t line = 0;
      for (size_t end; line < run.size(); line = end + 1) {
        end = std::min(run.find(L'\n', line), run.size());
        const std::string part = trimmed(to_utf8(run.substr(line, end - line)));
        if (!part.empty()) texts.insert(part);
      }
    }
    run.clear();
    after_zero = c == 0;
  }
  return texts;
}

// Whatever the tool can print is explained to players: each Chinese text in
// the built tool, message or part of one, stands in the guide. A text that
// reaches the tool without an example in the catalogue, and so without a row
// of the guide's tables, fails here, as does one printed around the catalogue.
TEST_F(GuideMessages, HoldsEveryChineseTextOfTheTool) {
  // With wchar_t of 2 bytes (Windows) pairs of code and ASCII bytes pass for
  // Chinese too; the texts and the guide are the same on both systems, so the
  // Linux build's reading covers them.
  if (sizeof(wchar_t) != 4) GTEST_SKIP() << "wchar_t of 2 bytes";
  const Bytes program = read_file(LINKDATA_BINARY);
  ASSERT_FALSE(program.empty()) << "cannot read " << LINKDATA_BINARY;
  const Bytes bytes = read_file(LINKDATA_PLAYERS_GUIDE);
  const std::string whole(bytes.begin(), bytes.end());
  const std::set<std::string> texts = chinese_texts_in(program);
  // The reading of the program finds the texts it holds (a text of a few
  // characters may be built from immediate values in the code instead, out
  // of this reach; the catalogue's examples still bring those to the guide).
  const std::string sample = to_utf8(msg::kOffsetUnitNot2048);
  EXPECT_EQ(texts.count(sample.substr(0, sample.find('\n'))), 1u);
  for (const std::string& text : texts) {
    EXPECT_NE(whole.find(text), std::string::npos) << "not in the players' guide: " << text;
  }
}

TEST(MessageCatalogue, HoldsEveryTextOnce) {
  std::vector<std::string> catalogue = catalogue_examples();
  std::sort(catalogue.begin(), catalogue.end());
  EXPECT_EQ(std::adjacent_find(catalogue.begin(), catalogue.end()), catalogue.end());
}

}  // namespace
}  // namespace linkdata::test
