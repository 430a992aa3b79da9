// Tests of the buffered stream, the header string list and NthField.
#include "sock/LxExtstr.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/SysUtils.h"

namespace {

// An underlying stream that accepts at most `limit` bytes in total.
class TShortStream : public TMemoryStream {
 public:
  explicit TShortStream(int64_t limit) : limit_(limit) {}
  int64_t Write(const void* buffer, int64_t count) override {
    int64_t n = std::min(count, limit_);
    limit_ -= n;
    return n > 0 ? TMemoryStream::Write(buffer, n) : 0;
  }

 private:
  int64_t limit_;
};

std::string Bytes(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + 3);
  return s;
}

TEST(BufferStream, EmptyUnderlyingStream) {
  TMemoryStream mem;
  TS_BufferStream b(mem);
  char buf[8];
  EXPECT_EQ(b.Read(buf, 8), 0);
  EXPECT_EQ(b.Seek(0, soFromEnd), 0);
  EXPECT_EQ(b.BufferSize(), 32768);
}

TEST(BufferStream, WriteSeekReadRoundTrip) {
  TMemoryStream mem;
  TS_BufferStream b(mem);
  std::string data = Bytes(100);
  EXPECT_EQ(b.Write(data.data(), 100), 100);
  EXPECT_EQ(mem.Size(), 0);  // still pending
  EXPECT_EQ(b.State(), 2);
  EXPECT_EQ(b.Seek(0, soFromBeginning), 0);
  EXPECT_EQ(mem.DataString(), data);
  EXPECT_EQ(b.Size(), 100);  // three seeks: current, end, back
  std::string back(100, '\0');
  EXPECT_EQ(b.Read(back.data(), 100), 100);
  EXPECT_EQ(back, data);
  EXPECT_EQ(b.Read(back.data(), 100), 0);
}

TEST(BufferStream, FullBlockIsWrittenOutWhenItFillsUp) {
  TMemoryStream mem;
  TS_BufferStream b(mem);
  std::string data = Bytes(32768);
  int flushed = 0;
  b.OnBufferFlushed = [&](TS_BufferStream* s) {
    EXPECT_EQ(s, &b);
    ++flushed;
  };
  EXPECT_EQ(b.Write(data.data(), 32768), 32768);
  EXPECT_EQ(b.State(), 0);
  EXPECT_EQ(flushed, 1);
  EXPECT_EQ(mem.DataString(), data);
}

TEST(BufferStream, DestructionWritesPendingBytes) {
  TMemoryStream mem;
  {
    TS_BufferStream b(mem);
    b.Write("abc", 3);
  }
  EXPECT_EQ(mem.DataString(), "abc");
}

TEST(BufferStream, SeekCurrentWhileReadingReportsTheLogicalPosition) {
  std::string data = Bytes(50000);
  TStringStream mem(data);
  TS_BufferStream b(mem);
  int fills = 0;
  b.OnBufferFilled = [&](TS_BufferStream*) { ++fills; };
  char buf[10];
  ASSERT_EQ(b.Read(buf, 10), 10);
  EXPECT_EQ(mem.Position(), 32768);
  EXPECT_EQ(b.BufferedOffset(), 10 - 32768);
  EXPECT_EQ(b.Seek(0, soFromCurrent), 10);
  EXPECT_EQ(b.Seek(10, soFromBeginning), 10);  // same position: nothing changes
  EXPECT_EQ(b.State(), 1);
  EXPECT_EQ(fills, 1);
  ASSERT_EQ(b.Read(buf, 10), 10);
  EXPECT_EQ(std::string(buf, 10), data.substr(10, 10));
}

// Seek targets for each origin over 1,000 bytes, from position 100.
TEST(BufferStream, SeekOrigins) {
  struct Case {
    int64_t offset;
    int origin;
    int64_t target;
  };
  const Case cases[] = {
      {0, soFromBeginning, 0}, {400, soFromBeginning, 400}, {50, soFromCurrent, 150},
      {-30, soFromCurrent, 70}, {10, soFromEnd, 990},        {0, soFromEnd, 1000},
  };
  std::string data = Bytes(1000);
  for (const auto& tc : cases) {
    SCOPED_TRACE(testing::Message() << tc.offset << "/" << tc.origin);
    TStringStream mem(data);
    TS_BufferStream b(mem);
    b.Seek(100, soFromBeginning);
    EXPECT_EQ(b.Seek(tc.offset, tc.origin), tc.target);
    char c;
    if (tc.target < 1000) {
      ASSERT_EQ(b.Read(&c, 1), 1);
      EXPECT_EQ(c, data[static_cast<size_t>(tc.target)]);
    }
  }
  TStringStream mem(data);
  TS_BufferStream b(mem);
  try {
    b.Seek(0, 3);
    ADD_FAILURE() << "no exception";
  } catch (const EStreamError&) {
    ADD_FAILURE() << "wrong type";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Invalid seek origin = 3");
  }
}

TEST(BufferStream, SeekThatCannotWriteOutFails) {
  TShortStream mem(5);
  TS_BufferStream b(mem);
  b.Write("0123456789", 10);
  try {
    b.Seek(0, soFromBeginning);
    ADD_FAILURE() << "no exception";
  } catch (const EStreamError& e) {
    EXPECT_EQ(e.Message(), "Seek error");
  }
  EXPECT_EQ(mem.DataString(), "01234");
}

TEST(BufferStream, WriteStopsWhenAFlushFails) {
  DefaultBufferSize = 4;
  TShortStream mem(4);
  TS_BufferStream b(mem);
  DefaultBufferSize = 32768;
  EXPECT_EQ(b.BufferSize(), 4);
  // 4 bytes fill and write out; the next 4 fill the block again, whose write-out fails.
  EXPECT_EQ(b.Write("abcdefghij", 10), 8);
  EXPECT_EQ(mem.DataString(), "abcd");
}

TEST(BufferStream, PutBack) {
  TStringStream mem("hello world");
  TS_BufferStream b(mem);
  auto expectOverflow = [&] {
    try {
      b.PutBack('x');
      ADD_FAILURE() << "no exception";
    } catch (const EStreamError& e) {
      EXPECT_EQ(e.Message(), "PutBack overflow");
    }
  };
  expectOverflow();  // right after creation
  char buf[3];
  ASSERT_EQ(b.Read(buf, 3), 3);
  b.PutBack('L');
  b.PutBack('E');
  b.PutBack('H');
  expectOverflow();
  char all[11];
  ASSERT_EQ(b.Read(all, 11), 11);
  EXPECT_EQ(std::string(all, 11), "HELlo world");
  b.Seek(2, soFromBeginning);
  expectOverflow();  // right after a seek
}

TEST(BufferStream, ReadingAfterWritingWithoutSeek) {
  TMemoryStream mem;
  mem.WriteString("0123456789");
  mem.SetPosition(0);
  TS_BufferStream b(mem);
  char buf[4];
  ASSERT_EQ(b.Read(buf, 2), 2);
  b.Write("ab", 2);  // read-ahead is given back: the write lands at position 2
  ASSERT_EQ(b.Read(buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "45");
  b.Seek(0, soFromBeginning);
  EXPECT_EQ(mem.DataString(), "01ab456789");
}

TEST(ExStringList, SetHeaderReplacesAppendsAndDeletes) {
  TExStringList l;
  l.Add("From: a@b");
  l.Add("subject: y");
  l.Add("no colon line");
  l.SetHeader("Subject", "x");
  EXPECT_EQ(l.Count(), 3);
  EXPECT_EQ(l[1], "Subject: x");
  l.SetHeader("X-New", "1");
  EXPECT_EQ(l[3], "X-New: 1");
  l.SetHeader("Subject", "");
  EXPECT_EQ(l.Count(), 3);
  EXPECT_EQ(l.IndexOfHeader("subject"), -1);
  l.SetHeader("Absent", "");
  EXPECT_EQ(l.Count(), 3);
  EXPECT_EQ(l[0], "From: a@b");
  EXPECT_EQ(l[1], "no colon line");
}

TEST(ExStringList, IndexOfHeaderUnsorted) {
  TExStringList l{"no colon line", "Subject : spaced", "To: x", "to: second", ":empty name"};
  EXPECT_EQ(l.IndexOfHeader("no colon line"), -1);
  EXPECT_EQ(l.IndexOfHeader("TO"), 2);
  EXPECT_EQ(l.IndexOfHeader("Subject"), -1);  // the name part is not trimmed
  EXPECT_EQ(l.IndexOfHeader("Subject "), 1);
  EXPECT_EQ(l.IndexOfHeader(""), 4);
}

TEST(ExStringList, IndexOfHeaderSorted) {
  TExStringList l;
  l.SetSorted(true);
  EXPECT_EQ(l.IndexOfHeader("x"), -1);
  for (const char* h : {"To: t", "Cc: c", "From: f", "Subject: s", "Date: d", "Bcc: b", "X-Mailer: m"}) l.Add(h);
  for (int i = 0; i < l.Count(); ++i) {
    std::string name = l[i].substr(0, l[i].find(':'));
    EXPECT_EQ(l.IndexOfHeader(name), i) << name;
  }
  EXPECT_EQ(l.IndexOfHeader("subject"), l.IndexOfHeader("Subject"));
  for (const char* absent : {"A", "Ca", "Zz", "Reply-To", ""}) EXPECT_EQ(l.IndexOfHeader(absent), -1) << absent;
}

TEST(NthField, Fields) {
  struct Case {
    const char* text;
    char sep;
    int n;
    const char* field;
  };
  const Case cases[] = {
      {"a:b:c", ':', 1, "a"},   {"a:b:c", ':', 2, "b"},      {"a:b:c", ':', 3, "c"},
      {"a:b:c", ':', 4, ""},    {"abc", ':', 2, ""},         {"abc", ':', 1, "abc"},
      {"", ':', 1, ""},         {"<a.b>", '<', 2, "a.b>"},   {"a.b>", '>', 1, "a.b"},
      {"::x", ':', 3, "x"},     {"a:b", ':', 0, ""},
  };
  for (const auto& tc : cases) EXPECT_EQ(NthField(tc.text, tc.sep, tc.n), tc.field) << tc.text << " " << tc.n;
}

}  // namespace
