// The shipped dictionary holds every message key the sources use, with the
// same default text, and nothing stale.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& inPath) {
  std::ifstream in(inPath, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The string literals of a C++ source, adjacent literals joined, comments and
// character literals skipped. Escapes are decoded for the few the keys use.
std::vector<std::string> StringLiterals(const std::string& inSource) {
  std::vector<std::string> literals;
  std::string current;
  bool open = false;  // a literal ended and only blanks followed so far
  std::size_t i = 0;
  const std::size_t n = inSource.size();
  auto flush = [&] {
    if (open) literals.push_back(current);
    current.clear();
    open = false;
  };
  while (i < n) {
    const char c = inSource[i];
    if (c == '/' && i + 1 < n && inSource[i + 1] == '/') {
      while (i < n && inSource[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < n && inSource[i + 1] == '*') {
      const std::size_t end = inSource.find("*/", i + 2);
      i = end == std::string::npos ? n : end + 2;
    } else if (c == '\'') {
      ++i;
      while (i < n && inSource[i] != '\'') i += inSource[i] == '\\' ? 2 : 1;
      ++i;
      flush();
    } else if (c == '"') {
      ++i;
      while (i < n && inSource[i] != '"') {
        if (inSource[i] == '\\' && i + 1 < n) {
          const char e = inSource[i + 1];
          current += e == 'n' ? '\n' : e == 't' ? '\t' : e;
          i += 2;
        } else {
          current += inSource[i++];
        }
      }
      ++i;
      open = true;
    } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      ++i;
    } else {
      flush();
      ++i;
    }
  }
  flush();
  return literals;
}

std::string Unescape(const std::string& inText) {
  std::string out;
  for (std::size_t i = 0; i < inText.size(); ++i) {
    if (inText[i] == '\\' && i + 1 < inText.size()) {
      const char e = inText[++i];
      out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
    } else {
      out += inText[i];
    }
  }
  return out;
}

std::map<std::string, std::string> LoadDictionary(const fs::path& inPath) {
  std::map<std::string, std::string> entries;
  std::istringstream in(ReadAll(inPath));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::size_t equals = line.find('=');
    EXPECT_NE(equals, std::string::npos) << "malformed line: " << line;
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    EXPECT_EQ(entries.count(key), 0u) << "duplicate key " << key;
    entries[key] = Unescape(line.substr(equals + 1));
  }
  return entries;
}

TEST(Dictionary, ScannerJoinsAdjacentLiteralsAndSkipsComments) {
  const std::vector<std::string> literals =
      StringLiterals("a = \"$$$/x/y=one \"\n  \"two\"; // \"$$$/not/this=x\"\n/* \"nor=this\" */ f('\"', \"b\\\"c\");");
  ASSERT_EQ(literals.size(), 2u);
  EXPECT_EQ(literals[0], "$$$/x/y=one two");
  EXPECT_EQ(literals[1], "b\"c");
}

TEST(Dictionary, EveryKeyOfTheSourcesIsThereWithItsText) {
  const fs::path root(BASALT_SOURCE_DIR);
  std::map<std::string, std::string> used;
  for (const char* folder : {"src", "include"}) {
    for (const auto& entry : fs::recursive_directory_iterator(root / folder)) {
      const std::string ext = entry.path().extension().string();
      if (ext != ".cpp" && ext != ".h" && ext != ".inc") continue;
      for (const std::string& literal : StringLiterals(ReadAll(entry.path()))) {
        if (literal.rfind("$$$/basalt/", 0) != 0) continue;
        const std::size_t equals = literal.find('=');
        ASSERT_NE(equals, std::string::npos) << entry.path() << ": key without default text: " << literal;
        const std::string key = literal.substr(0, equals);
        const std::string text = literal.substr(equals + 1);
        auto known = used.find(key);
        if (known != used.end()) {
          EXPECT_EQ(known->second, text) << "key " << key << " has two default texts in the sources";
        }
        used[key] = text;
      }
    }
  }
  ASSERT_FALSE(used.empty()) << "no keys found: is BASALT_SOURCE_DIR right?";

  const std::map<std::string, std::string> dictionary = LoadDictionary(root / "dict" / "bsl_en_US.dict");
  for (const auto& [key, text] : used) {
    SCOPED_TRACE(key);
    auto it = dictionary.find(key);
    ASSERT_NE(it, dictionary.end()) << "missing from dict/bsl_en_US.dict";
    EXPECT_EQ(it->second, text) << "dictionary text differs from the default text in the sources";
  }
  for (const auto& [key, text] : dictionary) {
    EXPECT_EQ(used.count(key), 1u) << "dictionary key no longer used by the sources: " << key;
  }
}

}  // namespace
