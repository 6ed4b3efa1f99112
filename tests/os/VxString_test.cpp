#include "os/VxString.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

const char* Ptr(const CString& s) {
  return static_cast<const char*>(s);
}

TEST(CString, EmptyStringsShareOneStaticBlock) {
  CString a, b(static_cast<const char*>(nullptr)), c(""), d(L"");
  EXPECT_EQ(Ptr(a), Ptr(b));
  EXPECT_EQ(Ptr(a), Ptr(c));
  EXPECT_EQ(Ptr(a), Ptr(d));
  EXPECT_STREQ(a, "");
  EXPECT_EQ(a.GetLength(), 0);
  CString e("x");
  e = "";
  EXPECT_EQ(Ptr(e), Ptr(a));
}

TEST(CString, CopiesShareUntilOneIsModified) {
  CString a("Hello");
  CString b(a);
  CString c;
  c = b;
  EXPECT_EQ(Ptr(a), Ptr(b));
  EXPECT_EQ(Ptr(a), Ptr(c));

  b.MakeLower();
  EXPECT_STREQ(a, "Hello");
  EXPECT_STREQ(b, "hello");
  EXPECT_NE(Ptr(a), Ptr(b));
  EXPECT_EQ(Ptr(a), Ptr(c));

  c.Delete(0, 1);
  EXPECT_STREQ(c, "ello");
  EXPECT_STREQ(a, "Hello");

  char* buf = a.GetBuffer(10);
  ASSERT_NE(buf, nullptr);
  EXPECT_STREQ(buf, "Hello");
  strcpy(buf, "Greetings!");
  a.ReleaseBuffer();
  EXPECT_EQ(a.GetLength(), 10);
  EXPECT_STREQ(a, "Greetings!");
  EXPECT_STREQ(b, "hello");

  // A private block is modified in place.
  const char* before = Ptr(b);
  b.MakeLower();
  EXPECT_EQ(Ptr(b), before);
}

TEST(CString, SelfAssignmentAndAssigningOwnText) {
  CString a("abcdef");
  CString& alias = a;
  a = alias;
  EXPECT_STREQ(a, "abcdef");
  a = Ptr(a) + 2;  // text from inside our own block
  EXPECT_STREQ(a, "cdef");
  CString b(a);
  b = Ptr(b) + 1;  // and from a shared block
  EXPECT_STREQ(b, "def");
  EXPECT_STREQ(a, "cdef");
}

TEST(CString, Delete) {
  struct Case {
    int index, count;
    const char* after;
    int returned;
  } cases[] = {
      {2, 3, "abfg", 7},     {0, 1, "bcdefg", 7},  {-5, 2, "cdefg", 7},
      {6, 1, "abcdef", 7},   {7, 1, "abcdefg", 7}, {3, 0, "abcdefg", 7},
      {3, -2, "abcdefg", 7}, {5, 10, "abcde", 7},  // past the end: cut at the end
  };
  for (const Case& c : cases) {
    CString s("abcdefg");
    CString shared(s);
    EXPECT_EQ(s.Delete(c.index, c.count), c.returned) << c.index << "," << c.count;
    EXPECT_STREQ(s, c.after) << c.index << "," << c.count;
    EXPECT_EQ(s.GetLength(), static_cast<int>(strlen(c.after)));
    EXPECT_STREQ(shared, "abcdefg");
  }
}

TEST(CString, Format) {
  CString s("old");
  s.Format("%d", 42);
  EXPECT_STREQ(s, "42");
  s.Format("%s", "");
  EXPECT_STREQ(s, "42");
  s.Format(nullptr);
  EXPECT_STREQ(s, "42");
  s.Format("%s-%04x", "id", 0xbeefu);
  EXPECT_STREQ(s, "id-beef");
  EXPECT_EQ(s.GetLength(), 7);
  std::string longText(5000, 'z');
  s.Format("%s!", longText.c_str());
  EXPECT_EQ(s.GetLength(), 5001);
  // Formatting from our own text works because the old block lives until the copy is done.
  CString t("abc");
  t.Format("%s%s", Ptr(t), Ptr(t));
  EXPECT_STREQ(t, "abcabc");
}

TEST(CString, GetBufferLimits) {
  CString empty;
  EXPECT_EQ(empty.GetBuffer(0), Ptr(empty));
  EXPECT_EQ(empty.GetBuffer(-1), nullptr);
  EXPECT_EQ(empty.GetBuffer(0x7FFFFFFE), nullptr);
  char* p = empty.GetBuffer(3);
  ASSERT_NE(p, nullptr);
  memcpy(p, "xyz", 4);
  empty.ReleaseBuffer(2);
  EXPECT_STREQ(empty, "xy");
  CString s("abc");
  char* q = s.GetBuffer(1);  // never shrinks
  EXPECT_STREQ(q, "abc");
}

TEST(CString, FromWideText) {
  CString s(L"Logger 42");
  EXPECT_STREQ(s, "Logger 42");
  EXPECT_EQ(s.GetLength(), 9);
}

// Copies of one block handed to other threads and dropped there: the counts must stay exact
// (ASan sees a double free or a leak, TSan a race).
TEST(CString, CopiesLiveOnDifferentThreads) {
  CString origin("shared text");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([origin] {
      for (int i = 0; i < 2000; ++i) {
        CString copy(origin);
        if (i % 100 == 0) copy.MakeLower();
        EXPECT_EQ(copy.GetLength(), 11);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_STREQ(origin, "shared text");
}

}  // namespace
