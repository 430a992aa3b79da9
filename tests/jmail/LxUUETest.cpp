// The stream encoder: uuencode lines of the known examples, base64 lines of 45
// input bytes, the reference base64 for every length, the callbacks and the
// output position, also when a stream fails.
#include "jmail/LxUUE.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/SysUtils.h"
#include "support/EncodingTestSupport.h"

namespace {

using encoding_test::RandomBytes;
using encoding_test::ReferenceBase64;

std::string EncodeWith(UUMethods method, const std::string& input) {
  TStringStream in(input), out;
  TLxUUProcessor p;
  p.Method = method;
  p.InputStream = &in;
  p.OutputStream = &out;
  p.Encode();
  return out.DataString();
}

// Lines of uuencode: the classic "abc" example of the uuencode format (length
// character, then the characters); base64 lines by RFC 2045.
TEST(LxUUProcessor, Vectors) {
  struct Case {
    UUMethods method;
    std::string in, out;
  };
  const Case cases[] = {
      {uuCode, "abc", "#86)C\r\n`\r\n"},
      {uuCode, "ab", "\"86(\r\n`\r\n"},
      {uuCode, "a", "!80\r\n`\r\n"},
      {uuCode, "", "`\r\n"},
      {uuCode, std::string(3, '\0'), "#````\r\n`\r\n"},
      {uuMime, "", ""},
      {uuMime, "abc", "YWJj\r\n"},
      {uuMime, "ab", "YWI=\r\n"},
      {uuMime, "a", "YQ==\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(EncodeWith(c.method, c.in), c.out) << c.method << " " << c.in;
}

TEST(LxUUProcessor, LineLengths) {
  struct Case {
    UUMethods method;
    size_t size;
    std::vector<size_t> lengths;  // without CR LF
  };
  const Case cases[] = {
      {uuMime, 45, {60}},         {uuMime, 46, {60, 4}},    {uuMime, 90, {60, 60}},
      {uuCode, 45, {61, 1}},      {uuCode, 46, {61, 3, 1}}, {uuCode, 14, {20, 1}},
      {uuMime, 45 * 1024 + 1, {}},  // crosses the encoder's internal chunk
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const std::string out = EncodeWith(c.method, RandomBytes(c.size, 5));
    std::vector<size_t> lengths;
    for (size_t pos = 0; pos < out.size();) {
      size_t end = out.find("\r\n", pos);
      ASSERT_NE(end, std::string::npos) << "line without CR LF";
      lengths.push_back(end - pos);
      pos = end + 2;
    }
    if (c.lengths.empty()) {
      ASSERT_EQ(lengths.size(), 1025u);
      EXPECT_EQ(lengths.back(), 4u);
    } else {
      EXPECT_EQ(lengths, c.lengths);
    }
  }
  // A line of 14 bytes begins with "." (length character 0x20 + 14).
  EXPECT_EQ(EncodeWith(uuCode, std::string(14, 'x'))[0], '.');
  EXPECT_EQ(EncodeWith(uuCode, std::string(45, 'x'))[0], 'M');
}

TEST(LxUUProcessor, MimeMatchesReferenceForEveryLengthUpTo300) {
  for (size_t n = 0; n <= 300; ++n) {
    const std::string in = RandomBytes(n, static_cast<uint32_t>(n) + 11);
    std::string out = EncodeWith(uuMime, in);
    // Every line is the base64 of its own 45 (or fewer) bytes.
    for (size_t line = 0, pos = 0; pos < out.size(); ++line) {
      const size_t end = out.find("\r\n", pos);
      ASSERT_EQ(out.substr(pos, end - pos), ReferenceBase64(in.substr(line * 45, 45))) << n;
      pos = end + 2;
    }
    std::erase_if(out, [](char c) { return c == '\r' || c == '\n'; });
    ASSERT_EQ(out, ReferenceBase64(in)) << n;
  }
}

TEST(LxUUProcessor, MimeMatchesCoreutilsOnALargeInput) {
  encoding_test::ScratchDir dir;
  const std::string path = dir.Path() + "in.bin";
  const std::string in = RandomBytes(1024 * 1024 + 7, 3);
  encoding_test::WriteOsFile(path, in);
  const std::string expected = encoding_test::RunCommand("base64 -w 60 " + path + " | sed 's/$/\\r/'");
  ASSERT_FALSE(expected.empty());
  EXPECT_TRUE(EncodeWith(uuMime, in) == expected);
}

TEST(LxUUProcessor, DefaultsAndAlphabet) {
  TLxUUProcessor p;
  EXPECT_EQ(p.Method, uuMime);
  EXPECT_EQ(p.InputStream, nullptr);
  EXPECT_TRUE(p.Alphabet.empty());
  TStringStream in("x"), out;
  p.InputStream = &in;
  p.OutputStream = &out;
  p.Encode();
  EXPECT_EQ(p.Alphabet, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
  p.Method = uuCode;
  p.Encode();
  std::string uu = "`";
  for (char c = 0x21; c <= 0x5F; ++c) uu += c;
  EXPECT_EQ(p.Alphabet, uu);
}

TEST(LxUUProcessor, ReadsFromStartAppendsAtOutputPositionAndRewinds) {
  TStringStream in("abc"), out("HEAD:");
  in.SetPosition(2);
  out.Seek(0, soFromEnd);
  TLxUUProcessor p;
  p.InputStream = &in;
  p.OutputStream = &out;
  std::vector<std::string> calls;
  p.OnBeginEncode = [&](TComponent* s) {
    EXPECT_EQ(s, &p);
    calls.push_back("begin at " + IntToStr(in.Position()));
  };
  p.OnEndEncode = [&](TComponent* s) {
    EXPECT_EQ(s, &p);
    calls.push_back("end at " + IntToStr(out.Position()));
  };
  p.OnBeginDecode = p.OnEndDecode = [&](TComponent*) { calls.push_back("decode"); };
  p.Encode();
  EXPECT_EQ(out.DataString(), "HEAD:YWJj\r\n");
  EXPECT_EQ(out.Position(), 0);
  EXPECT_EQ(calls, (std::vector<std::string>{"begin at 0", "end at 0"}));
}

// A stream whose reads fail after some bytes, or that hands out few bytes per read.
class TestStream : public TMemoryStream {
 public:
  TestStream(std::string data, int64_t failAfter, int64_t perRead)
      : failAfter_(failAfter), perRead_(perRead) {
    data_ = std::move(data);
  }
  int64_t Read(void* buffer, int64_t count) override {
    if (failAfter_ >= 0 && pos_ >= failAfter_) throw EStreamError("Stream read error");
    return TMemoryStream::Read(buffer, std::min(count, perRead_));
  }

 private:
  int64_t failAfter_, perRead_;
};

TEST(LxUUProcessor, ReadErrorPropagatesAfterEndCallbackWithOutputRewound) {
  TestStream in(RandomBytes(200000, 1), 100000, 1 << 30);
  TStringStream out;
  TLxUUProcessor p;
  p.InputStream = &in;
  p.OutputStream = &out;
  int ends = 0;
  p.OnEndEncode = [&](TComponent*) { ++ends; };
  EXPECT_THROW(p.Encode(), EStreamError);
  EXPECT_EQ(ends, 1);
  EXPECT_EQ(out.Position(), 0);
}

TEST(LxUUProcessor, ShortReadsStillGiveFullLines) {
  const std::string data = RandomBytes(1000, 2);
  TestStream in(data, -1, 7);
  TStringStream out;
  TLxUUProcessor p;
  p.InputStream = &in;
  p.OutputStream = &out;
  p.Encode();
  EXPECT_EQ(out.DataString(), EncodeWith(uuMime, data));
}

TEST(LxUUProcessor, MissingStreamIsAnError) {
  TStringStream s;
  TLxUUProcessor p;
  p.InputStream = &s;
  EXPECT_THROW(p.Encode(), Exception);
  p.InputStream = nullptr;
  p.OutputStream = &s;
  EXPECT_THROW(p.Encode(), Exception);
}

TEST(LxUUProcessor, BelongsToItsOwner) {
  TComponent owner;
  auto* p = new TLxUUProcessor(&owner);
  EXPECT_EQ(p->Owner(), &owner);
  EXPECT_EQ(owner.ComponentCount(), 1u);
}

}  // namespace
