// Speed of the Japanese mail encoders on realistic input: a few MB of Shift-JIS
// text (kana, kanji, ASCII words, lines of about 70 bytes) and a 50 MB file.
// Extra modes for scripts/bench_encoding.sh:
//   JmailBench --write-inputs DIR   writes japanese.txt and attach.bin into DIR
//   JmailBench --peak-memory FILE   runs BuildAttachmentParts on FILE once and
//                                   prints the peak resident memory
// With TARVEX_BENCH_DIR set, the benchmarks read those files instead of
// generating them, so that other tools can run on the very same bytes.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "jmail/MailAddress.h"
#include "jmail/MailJstr.h"
#include "platform/FileUtil.h"
#include "platform/Streams.h"
#include "platform/SysUtils.h"
#include "jmail/LxUUE.h"

namespace {

constexpr size_t kTextBytes = 4 << 20;
constexpr size_t kFileBytes = 50 << 20;

// Shift-JIS text of JIS X 0208 characters and ASCII words, LF-ended lines.
std::string MakeJapaneseText(size_t size) {
  std::mt19937 gen(2024);
  std::string text;
  text.reserve(size + 128);
  size_t lineStart = 0;
  while (text.size() < size) {
    const unsigned kind = gen() % 10;
    if (kind < 4) {  // a run of hiragana
      for (unsigned n = 1 + gen() % 6; n > 0; --n) {
        text += '\x82';
        text += static_cast<char>(0x9F + gen() % 83);
      }
    } else if (kind < 8) {  // a run of level-1 kanji (leads 0x88-0x98)
      for (unsigned n = 1 + gen() % 4; n > 0; --n) {
        const unsigned lead = 0x89 + gen() % 15;
        unsigned second = 0x40 + gen() % 188;
        if (second >= 0x7F) ++second;
        text += static_cast<char>(lead);
        text += static_cast<char>(second);
      }
    } else if (kind == 8) {  // punctuation
      text += "\x81\x41";
    } else {  // an ASCII word
      static const char* words[] = {"Tarvex ", "SMTP ", "2024-06-01 ", "OK. ", "mail@example.jp "};
      text += words[gen() % 5];
    }
    if (text.size() - lineStart > 70) {
      text += '\n';
      lineStart = text.size();
    }
  }
  return text;
}

std::string MakeBinary(size_t size) {
  std::mt19937_64 gen(7);
  std::string s(size, '\0');
  for (size_t i = 0; i + 8 <= size; i += 8) {
    uint64_t v = gen();
    std::memcpy(&s[i], &v, 8);
  }
  return s;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string InputDir() {
  const char* d = std::getenv("TARVEX_BENCH_DIR");
  return d && *d ? std::string(d) + "/" : std::string();
}

const std::string& JapaneseText() {
  static const std::string text =
      InputDir().empty() ? MakeJapaneseText(kTextBytes) : ReadWholeFile(FromOsPath(InputDir() + "japanese.txt"));
  return text;
}

const std::vector<std::string>& JapaneseLines() {
  static const std::vector<std::string> lines = [] {
    std::vector<std::string> v;
    const std::string& t = JapaneseText();
    for (size_t pos = 0; pos < t.size();) {
      size_t end = t.find('\n', pos);
      if (end == std::string::npos) end = t.size();
      v.push_back(t.substr(pos, end - pos));
      pos = end + 1;
    }
    return v;
  }();
  return lines;
}

// The path of the 50 MB attachment (CP932), written once per run when not given.
const std::string& AttachmentPath() {
  static const std::string path = [] {
    if (!InputDir().empty()) return FromOsPath(InputDir() + "attach.bin");
    const std::string p = PrivateTempDir() + "attach.bin";
    WriteFile(ToOsPath(p), MakeBinary(kFileBytes));
    return p;
  }();
  return path;
}

const std::string& AttachmentBytes() {
  static const std::string bytes = ReadWholeFile(AttachmentPath());
  return bytes;
}

void BM_ConvertToJis_WholeText(benchmark::State& state) {
  const std::string& text = JapaneseText();
  for (auto _ : state) benchmark::DoNotOptimize(ConvertToJis(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ConvertToJis_WholeText)->Unit(benchmark::kMillisecond);

// A line of bytes that are no CP932 character: the time grows with the line, not
// with its square (the reported complexity).
void BM_ConvertToUtf8_BadBytes(benchmark::State& state) {
  const std::string line(static_cast<size_t>(state.range(0)), '\xFF');
  for (auto _ : state) benchmark::DoNotOptimize(ConvertToUtf8(line));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ConvertToUtf8_BadBytes)->RangeMultiplier(4)->Range(1 << 10, 1 << 18)->Complexity();

void BM_ConvertToJis_PerLine(benchmark::State& state) {
  const auto& lines = JapaneseLines();
  for (auto _ : state)
    for (const std::string& line : lines) benchmark::DoNotOptimize(ConvertToJis(line));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * JapaneseText().size()));
}
BENCHMARK(BM_ConvertToJis_PerLine)->Unit(benchmark::kMillisecond);

void BM_EncodeHeaderLine_PerLine(benchmark::State& state) {
  const auto& lines = JapaneseLines();
  for (auto _ : state)
    for (const std::string& line : lines) benchmark::DoNotOptimize(EncodeHeaderLine(line));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * JapaneseText().size()));
}
BENCHMARK(BM_EncodeHeaderLine_PerLine)->Unit(benchmark::kMillisecond);

void BM_Base64EncodeBuf(benchmark::State& state) {
  const std::string& in = AttachmentBytes();
  std::unique_ptr<char[]> out(new char[(in.size() + 2) / 3 * 4]);
  size_t written = 0;
  for (auto _ : state) {
    Base64EncodeBuf(in.data(), in.size(), out.get(), true, written);
    benchmark::DoNotOptimize(out.get());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_Base64EncodeBuf)->Unit(benchmark::kMillisecond);

// Header-sized and attachment-sized inputs (a prefix of the attachment bytes).
// The big one returns a fresh 70 MB string each time, so it includes the cost of
// touching new memory.
void BM_Base64EncodeStr(benchmark::State& state) {
  const std::string in = AttachmentBytes().substr(0, static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(Base64EncodeStr(in));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_Base64EncodeStr)->Arg(64)->Arg(65536)->Arg(kFileBytes)->Unit(benchmark::kMicrosecond);

void BM_ProcessorBase64(benchmark::State& state) {
  const std::string in = AttachmentBytes().substr(0, static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(ProcessorBase64(in));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_ProcessorBase64)->Arg(64)->Arg(65536)->Arg(kFileBytes)->Unit(benchmark::kMicrosecond);

// The attachment use: the file is read straight from disk, lines go to memory.
void BM_LxUUProcessor_Encode(benchmark::State& state) {
  const UUMethods method = state.range(0) == 0 ? uuMime : uuCode;
  TFileStream in(AttachmentPath(), fmOpenRead);
  TMemoryStream out;
  const int64_t size = in.Size();
  out.Reserve(size / 45 * 63 + 64);
  for (auto _ : state) {
    out.Clear();
    TLxUUProcessor p;
    p.Method = method;
    p.InputStream = &in;
    p.OutputStream = &out;
    p.Encode();
  }
  state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(BM_LxUUProcessor_Encode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Arg 0: one entry per 60-character line; 1: lines joined into 4096-line entries
// (what the send command uses).
void BM_BuildAttachmentParts(benchmark::State& state) {
  const TStringList paths{AttachmentPath()};
  const int64_t size = static_cast<int64_t>(AttachmentBytes().size());
  for (auto _ : state) benchmark::DoNotOptimize(BuildAttachmentParts(paths, MailCharset::Iso2022JpLegacy, state.range(0) != 0));
  state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(BM_BuildAttachmentParts)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The address list of a mail to 3,000 people, as a To field holds it: split into
// entries, each entry's envelope address and its header form.
std::string MakeAddressList(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    if (i) text += ", ";
    text += i % 3 == 0 ? "\"Sato, Jiro " + std::to_string(i) + "\" <sato" + std::to_string(i) + "@example.com>"
            : i % 3 == 1 ? Utf8ToCp932("\"山田, 太郎\" <yamada") + std::to_string(i) + "@example.jp>"
                         : "r" + std::to_string(i) + "@example.jp (Team, North)";
  }
  return text;
}

void BM_AddressList(benchmark::State& state) {
  const std::string text = MakeAddressList(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    size_t octets = 0;
    for (const std::string& entry : SplitAddressList(text))
      octets += BareAddress(entry).size() + HeaderAddressEntry(entry, MailCharset::Iso2022Jp).size();
    benchmark::DoNotOptimize(octets);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_AddressList)->Arg(3000)->Unit(benchmark::kMillisecond);

long MaxRssKiB() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

int PeakMemory(const std::string& osPath) {
  const long before = MaxRssKiB();
  const std::string path = FromOsPath(osPath);
  long long size = 0;
  {
    TFileStream f(path, fmOpenRead);
    size = f.Size();
  }
  const TStringList parts = BuildAttachmentParts({path}, MailCharset::Iso2022JpLegacy, std::getenv("TARVEX_BENCH_JOINED") != nullptr);
  const long after = MaxRssKiB();
  std::printf("file_bytes %lld\nentries %d\nrss_before_kib %ld\npeak_rss_kib %ld\npeak_over_file %.2f\n", size,
              parts.Count(), before, after, after * 1024.0 / static_cast<double>(size));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--write-inputs") == 0) {
    const std::string dir = std::string(argv[2]) + "/";
    WriteFile(dir + "japanese.txt", MakeJapaneseText(kTextBytes));
    WriteFile(dir + "attach.bin", MakeBinary(kFileBytes));
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "--peak-memory") == 0) return PeakMemory(argv[2]);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
