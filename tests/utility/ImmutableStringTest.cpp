// Interned strings: sharing of representations, expiry, revival and purging,
// the ordering and substring rules, and interning from many threads at once.
//
// The intern table is process-wide; every test uses texts of its own and
// purges first where it counts what a purge frees.
#include <basalt/utility/ImmutableString.h>

#include "TestGate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace basalt {
namespace utility {
namespace {

UTF8String U8(const std::string& inText) { return UTF8String(inText.begin(), inText.end()); }
const unsigned char* Bytes(const char* inText) { return reinterpret_cast<const unsigned char*>(inText); }

TEST(ImmutableString, EveryKindOfSourceSharesOneRepresentation) {
  const std::string text = "interning: every source kind";
  const ImmutableString first = ImmutableString::CreateDynamic(text.c_str());
  ASSERT_NE(first.GetRepresentation(), nullptr);
  EXPECT_EQ(std::string(first.GetText()), text);
  EXPECT_EQ(first.GetLength(), text.size());
  EXPECT_NE(first.GetText(), text.c_str()) << "a dynamic string holds a copy";

  const ImmutableString others[] = {
      ImmutableString::CreateDynamic(Bytes(text.c_str())),
      ImmutableString::CreateDynamic(Bytes(text.c_str()), text.size()),
      ImmutableString::CreateDynamic(text),
      ImmutableString::CreateDynamic(U8(text)),
      ImmutableString::CreateDynamic(UTF8to16(U8(text))),
      ImmutableString::CreateDynamic(UTF8to16(U8(text)).c_str()),
      ImmutableString::CreateStatic(text.c_str()),
      ImmutableString::CreateStatic(Bytes(text.c_str())),
  };
  for (std::size_t i = 0; i < sizeof others / sizeof others[0]; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(others[i].GetRepresentation(), first.GetRepresentation());
    EXPECT_EQ(others[i].GetText(), first.GetText());
    EXPECT_TRUE(others[i] == first);
    EXPECT_EQ(others[i].Compare(first), 0);
  }

  // A different text, even a prefix, is another representation.
  const ImmutableString prefix = ImmutableString::CreateDynamic(text.substr(0, 10));
  EXPECT_NE(prefix.GetRepresentation(), first.GetRepresentation());
  EXPECT_TRUE(prefix != first);

  // Empty and null sources give the empty string, which has no representation.
  const ImmutableString empties[] = {
      ImmutableString(),
      ImmutableString::CreateDynamic(""),
      ImmutableString::CreateDynamic(static_cast<const char*>(nullptr)),
      ImmutableString::CreateDynamic(static_cast<const unsigned char*>(nullptr), 5),
      ImmutableString::CreateDynamic(std::string()),
      ImmutableString::CreateStatic(static_cast<const char*>(nullptr)),
      ImmutableString::CreateDynamic(UTF16String()),
  };
  for (const ImmutableString& empty : empties) {
    EXPECT_EQ(empty.GetRepresentation(), nullptr);
    EXPECT_EQ(empty.GetText(), ImmutableString::sNullString);
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_TRUE(empty == ImmutableString());
  }
}

TEST(ImmutableString, StaticAndDynamicShareWhicheverCameFirst) {
  // Static first: the dynamic request gets the caller's text itself.
  static const char kStaticFirst[] = "static first, then dynamic";
  const ImmutableString statik = ImmutableString::CreateStatic(kStaticFirst);
  EXPECT_EQ(statik.GetText(), kStaticFirst);
  const std::string copy = kStaticFirst;
  const ImmutableString dynamic = ImmutableString::CreateDynamic(copy);
  EXPECT_EQ(dynamic.GetRepresentation(), statik.GetRepresentation());
  EXPECT_EQ(dynamic.GetText(), kStaticFirst);

  // Dynamic first: the static request gets the copy.
  static const char kDynamicFirst[] = "dynamic first, then static";
  const ImmutableString owned = ImmutableString::CreateDynamic(std::string(kDynamicFirst));
  const ImmutableString shared = ImmutableString::CreateStatic(kDynamicFirst);
  EXPECT_EQ(shared.GetRepresentation(), owned.GetRepresentation());
  EXPECT_NE(shared.GetText(), kDynamicFirst);
  EXPECT_STREQ(shared.GetText(), kDynamicFirst);
}

TEST(ImmutableString, ExpiryRevivalAndPurge) {
  ImmutableString::PurgeUnusedStrings();
  EXPECT_FALSE(ImmutableString::PurgeUnusedStrings()) << "nothing expired yet";

  // A copy, a moved-to and an assigned-to string each keep the text alive.
  {
    ImmutableString original = ImmutableString::CreateDynamic("expiry: held by copies");
    ImmutableString copy(original);
    ImmutableString moved(std::move(original));
    EXPECT_TRUE(original.IsEmpty());
    ImmutableString assigned;
    assigned = copy;
    copy = ImmutableString();
    moved = ImmutableString();
    EXPECT_FALSE(ImmutableString::PurgeUnusedStrings());
    EXPECT_STREQ(assigned.GetText(), "expiry: held by copies");
  }
  // The last holder is gone: freed by the first purge only.
  EXPECT_TRUE(ImmutableString::PurgeUnusedStrings());
  EXPECT_FALSE(ImmutableString::PurgeUnusedStrings());

  // Revival: asking again before a purge gets the expired representation
  // back, which the purge then leaves alone.
  ImmutableString revived = ImmutableString::CreateDynamic("expiry: revived");
  ImmutableString::InternalRepresentation* const representation = revived.GetRepresentation();
  revived = ImmutableString();
  revived = ImmutableString::CreateDynamic(std::string("expiry: revived"));
  EXPECT_EQ(revived.GetRepresentation(), representation);
  EXPECT_FALSE(ImmutableString::PurgeUnusedStrings());
  EXPECT_STREQ(revived.GetText(), "expiry: revived");
  // A holder made from the representation pointer counts too.
  ImmutableString fromPointer(representation);
  revived = ImmutableString();
  EXPECT_FALSE(ImmutableString::PurgeUnusedStrings());
  fromPointer = ImmutableString();
  EXPECT_TRUE(ImmutableString::PurgeUnusedStrings());
  EXPECT_FALSE(ImmutableString::PurgeUnusedStrings());

  // Static representations never expire, nor do dynamic requests that found
  // one.
  static const char kStatic[] = "expiry: static";
  ImmutableString::CreateStatic(kStatic);
  ImmutableString::CreateDynamic(std::string(kStatic));
  EXPECT_FALSE(ImmutableString::PurgeUnusedStrings());
  EXPECT_EQ(ImmutableString::CreateDynamic(std::string(kStatic)).GetText(), kStatic);
}

// Every overload gives the same answer; UTF-16 arguments compare through their
// UTF-8 form, so U+FFFD comes before U+1F600 although its UTF-16 unit is larger.
TEST(ImmutableString, CompareOrdersByBytesThenLength) {
  struct Case {
    std::string mLeft;
    std::string mRight;
    int mExpected;
  };
  const Case cases[] = {
      {"abc", "abcd", -1},
      {"", "a", -1},
      {"a", "", 1},
      {"", "", 0},
      {"compare same", "compare same", 0},
      {"abd", "abc", 1},
      {"b", "abc", 1},
      {"Z", "a", -1},
      {"\xff", "a", 1},  // bytes compare unsigned
      {"caf\xc3\xa9", "caf\xc3\xa9", 0},
      {"caf\xc3\xa9", "caf\xc3\xa9s", -1},
      {"\xef\xbf\xbd", "\xf0\x9f\x98\x80", -1},
      {std::string("a\0b", 3), std::string("a\0c", 3), -1},
      {std::string("a\0", 2), "a", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mLeft + " <> " + c.mRight);
    const ImmutableString left = ImmutableString::CreateDynamic(c.mLeft);
    const ImmutableString right = ImmutableString::CreateDynamic(c.mRight);
    EXPECT_EQ(left.Compare(right), c.mExpected);
    EXPECT_EQ(right.Compare(left), -c.mExpected);
    EXPECT_EQ(left < right, c.mExpected < 0);
    EXPECT_EQ(left == right, c.mExpected == 0);
    EXPECT_EQ(left.Compare(c.mRight), c.mExpected);
    EXPECT_EQ(left.Compare(U8(c.mRight)), c.mExpected);
    if (c.mRight.find('\0') == std::string::npos) {
      EXPECT_EQ(left.Compare(c.mRight.c_str()), c.mExpected);
      EXPECT_EQ(left.Compare(Bytes(c.mRight.c_str())), c.mExpected);
      EXPECT_EQ(left.Compare(UTF8to16(U8(c.mRight))), c.mExpected);
      EXPECT_EQ(left.Compare(UTF8to16(U8(c.mRight)).c_str()), c.mExpected);
    }
  }
  EXPECT_EQ(ImmutableString::CreateDynamic("a").Compare(static_cast<const UTF16Char*>(nullptr)), 1);
  EXPECT_EQ(ImmutableString().Compare(static_cast<const char*>(nullptr)), 0);
}

TEST(ImmutableString, ContainsFindsSubstrings) {
  struct Case {
    std::string mText;
    std::string mNeedle;
    bool mExpected;
  };
  const Case cases[] = {
      {"hello world", "lo w", true},
      {"hello world", "hello world", true},
      {"hello world", "d", true},
      {"hello world", "world!", false},
      {"hello", "hello world", false},
      {"hello", "", false},
      {"", "a", false},
      {"", "", false},
      {std::string("a\0bc", 4), std::string("\0b", 2), true},
      {std::string("a\0bc", 4), std::string("\0c", 2), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mText + " / " + c.mNeedle);
    const ImmutableString text = ImmutableString::CreateDynamic(c.mText);
    EXPECT_EQ(text.Contains(ImmutableString::CreateDynamic(c.mNeedle)), c.mExpected);
    EXPECT_EQ(text.Contains(U8(c.mNeedle)), c.mExpected);
    if (c.mNeedle.find('\0') == std::string::npos) {
      EXPECT_EQ(text.Contains(c.mNeedle.c_str()), c.mExpected);
      EXPECT_EQ(text.Contains(Bytes(c.mNeedle.c_str())), c.mExpected);
      EXPECT_EQ(text.Contains(UTF8to16(U8(c.mNeedle)).c_str()), c.mExpected);
    }
  }
  EXPECT_FALSE(ImmutableString::CreateDynamic("abc").Contains(static_cast<const char*>(nullptr)));
}

TEST(ImmutableString, ConvertsBetweenUTF8AndUTF16) {
  const UTF16String texts[] = {u"Gr\u00fc\u00dfe", u"\U0001F600 smile", u"plain"};
  for (const UTF16String& text : texts) {
    const ImmutableString interned = ImmutableString::CreateDynamic(text);
    EXPECT_EQ(UTF8String(Bytes(interned.GetText()), Bytes(interned.GetText()) + interned.GetLength()),
              UTF16to8(text));
    EXPECT_EQ(interned.ToString(), text);
  }
  EXPECT_EQ(ImmutableString().ToString(), UTF16String());
}

// Threads intern, copy and drop the same few texts while another one purges
// without pause, so that expiry, revival and purging of one representation
// race each other. Afterwards every thread must have got the same
// representation per text.
TEST(ImmutableString, InterningFromManyThreads) {
  constexpr int kThreads = 6;
  constexpr int kTexts = 8;
  constexpr int kRounds = 10000;
  std::vector<std::string> texts;
  for (int i = 0; i < kTexts; ++i) texts.push_back("threads " + std::to_string(i * 7919) + std::string(i % 13, 'x'));

  testing::Gate start;
  std::atomic<int> running{kThreads};
  std::atomic<int> mismatches{0};
  std::vector<std::vector<ImmutableString>> kept(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.Wait();
      for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < kTexts; ++i) {
          const std::string& text = texts[i];
          ImmutableString interned = ImmutableString::CreateDynamic(text);
          ImmutableString copy = interned;
          if (copy.GetLength() != text.size() || std::memcmp(copy.GetText(), text.data(), text.size()) != 0 ||
              copy.Compare(text) != 0)
            ++mismatches;
        }
      }
      for (const std::string& text : texts) kept[t].push_back(ImmutableString::CreateDynamic(text));
      --running;
    });
  }
  std::thread purger([&] {
    start.Wait();
    while (running.load() != 0) ImmutableString::PurgeUnusedStrings();
  });
  start.Open();
  for (std::thread& thread : threads) thread.join();
  purger.join();

  EXPECT_EQ(mismatches.load(), 0);
  for (int i = 0; i < kTexts; ++i) {
    for (int t = 1; t < kThreads; ++t) {
      ASSERT_EQ(kept[t][i].GetRepresentation(), kept[0][i].GetRepresentation()) << texts[i];
    }
  }
  kept.clear();
  EXPECT_TRUE(ImmutableString::PurgeUnusedStrings());
  EXPECT_FALSE(ImmutableString::PurgeUnusedStrings());
}

}  // namespace
}  // namespace utility
}  // namespace basalt
