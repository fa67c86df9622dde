// The players' guide lists, in the tables of its message section, every text
// of the message catalogue once, and nothing the tool no longer prints. A
// message stands in backticks in the first column, filled in as the
// catalogue's examples fill it.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>
#include <string>
#include <vector>

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

// The examples are the only road from the catalogue to the guide check, so
// every text the catalogue declares must be filled in there: a text added
// without its example would otherwise never be held against the guide.
TEST(MessageCatalogue, GivesAnExampleOfEveryTextItDeclares) {
  const Bytes header = read_file(LINKDATA_CATALOGUE_HEADER);
  const Bytes source = read_file(LINKDATA_CATALOGUE_SOURCE);
  const std::string declared(header.begin(), header.end());
  const std::string defined(source.begin(), source.end());
  const size_t body = defined.find("examples() {");
  ASSERT_NE(body, std::string::npos);
  std::set<std::string> used;
  const std::regex word("[A-Za-z_][A-Za-z_0-9]*");
  const std::string examples = defined.substr(body + 1);
  for (std::sregex_iterator it(examples.begin(), examples.end(), word), end; it != end; ++it) {
    used.insert(it->str());
  }
  const std::regex text(R"((?:const wchar_t\* (k\w+) =)|(?:^std::wstring (\w+)\())",
                        std::regex::multiline);
  size_t texts = 0;
  for (std::sregex_iterator it(declared.begin(), declared.end(), text), end; it != end; ++it) {
    const std::string name = (*it)[1].matched ? (*it)[1].str() : (*it)[2].str();
    ++texts;
    EXPECT_TRUE(used.count(name)) << name << " has no example in msg::examples()";
  }
  EXPECT_GT(texts, 40u) << "the catalogue's declarations were not recognised";
}

TEST(MessageCatalogue, HoldsEveryTextOnce) {
  std::vector<std::string> catalogue = catalogue_examples();
  std::sort(catalogue.begin(), catalogue.end());
  EXPECT_EQ(std::adjacent_find(catalogue.begin(), catalogue.end()), catalogue.end());
}

}  // namespace
}  // namespace linkdata::test
