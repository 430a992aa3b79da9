// The steps between a macro's body lines and the body stream, one by one and
// together: the pump check before each line (idle, and with a watched descriptor,
// which needs poll), the line reader and keyword test, the body lines of the send
// command and the body stream the component builds from them (lines kept or handed
// over), and the same with a 50 MB attachment's parts.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>

#include "app/MacroReader.h"
#include "app/MailSend.h"
#include "app/Unit1.h"
#include "platform/FileUtil.h"
#include "platform/MessagePump.h"
#include "smtp/Lxsmtp.h"

namespace {

// Shift-JIS lines of about 100 bytes: kana, kanji and ASCII words.
TStringList JapaneseLines(int count) {
  std::mt19937 gen(7);
  TStringList lines;
  lines.Reserve(count);
  for (int i = 0; i < count; ++i) {
    std::string line;
    while (line.size() < 100) {
      if (gen() % 5 == 0) {
        line += "SMTP 2024 ";
      } else {
        line += static_cast<char>(0x88 + gen() % 16);
        line += static_cast<char>(0x40 + gen() % 60);
      }
    }
    lines.Add(std::move(line));
  }
  return lines;
}

std::string TempPath(const char* name) { return "/tmp/tarvex-bench-" + std::to_string(getpid()) + "-" + name; }

void BM_ProcessMessagesIdle(benchmark::State& state) {
  TMessagePump& pump = TMessagePump::Instance();
  int fds[2] = {-1, -1};
  if (state.range(0)) {  // a watched descriptor: only poll can tell whether it is ready
    if (pipe(fds) != 0) state.SkipWithError("pipe");
    pump.WatchFd(fds[0], POLLIN, [](short) {});
  }
  for (auto _ : state) pump.ProcessMessages();
  if (fds[0] >= 0) {
    pump.UnwatchFd(fds[0]);
    close(fds[0]);
    close(fds[1]);
  }
}
BENCHMARK(BM_ProcessMessagesIdle)->Arg(0)->Arg(1);

// Reading a 20,000-line body file and testing each line for a keyword.
void BM_MacroLinesRead(benchmark::State& state) {
  const std::string path = TempPath("lines.txt");
  {
    TFileStream file(path, fmCreate);
    for (const std::string& line : JapaneseLines(20000)) file.WriteString(line + "\r\n");
  }
  int64_t bytes = 0;
  for (auto _ : state) {
    TMacroLineReader reader(path);
    while (!reader.Eof()) {
      std::string line = reader.ReadLine();
      bytes += static_cast<int64_t>(line.size()) + 2;
      benchmark::DoNotOptimize(MacroKeyword(line));
    }
  }
  state.SetBytesProcessed(bytes);
  ::unlink(path.c_str());
}
BENCHMARK(BM_MacroLinesRead)->Unit(benchmark::kMillisecond);

void BM_BuildBodyLines(benchmark::State& state) {
  const TStringList text = JapaneseLines(20000);
  for (auto _ : state) benchmark::DoNotOptimize(BuildBodyLines(text, TStringList()));
  state.SetBytesProcessed(state.iterations() * 20000 * 100);
}
BENCHMARK(BM_BuildBodyLines)->Unit(benchmark::kMillisecond);

// Arg 0: the component keeps Body; 1: it frees each line once written (the form's way).
void BM_BuildMessageBody(benchmark::State& state) {
  const TStringList body = BuildBodyLines(JapaneseLines(20000), TStringList());
  TLxSMTP smtp;
  smtp.KeepBody = state.range(0) == 0;
  for (auto _ : state) {
    state.PauseTiming();
    smtp.PostMessage.Body = body;
    state.ResumeTiming();
    smtp.BuildMessage();
  }
  state.SetBytesProcessed(state.iterations() * smtp.BodyStream.Size());
}
BENCHMARK(BM_BuildMessageBody)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// A file of 50 MB of random bytes in the temporary folder; returns its path.
std::string WriteAttachmentFile(const char* name) {
  const std::string path = TempPath(name);
  std::string bytes(50 << 20, '\0');
  std::mt19937 gen(3);
  for (char& c : bytes) c = static_cast<char>(gen());
  TFileStream file(path, fmCreate);
  file.WriteString(bytes);
  return path;
}

// The body lines and the body stream of a message with a 50 MB attachment.
void BM_AttachmentBodyStream(benchmark::State& state) {
  const std::string path = WriteAttachmentFile("attach.bin");
  TLxSMTP smtp;
  smtp.KeepBody = false;
  for (auto _ : state) {
    smtp.PostMessage.Body = BuildBodyLines(TStringList{"text"}, TStringList{FromOsPath(path)});
    smtp.BuildMessage();
  }
  state.SetBytesProcessed(state.iterations() * (50 << 20));
  ::unlink(path.c_str());
}
BENCHMARK(BM_AttachmentBodyStream)->Unit(benchmark::kMillisecond);

// The same message as it goes out: the attachment read, encoded and written a chunk
// at a time into a stream that drops what it is given.
void BM_AttachmentStreamed(benchmark::State& state) {
  struct TDiscard : TStream {
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void*, int64_t count) override { return count; }
    int64_t Seek(int64_t, int) override { return 0; }
  } discard;
  const std::string path = WriteAttachmentFile("attach-streamed.bin");
  TLxSMTP smtp;
  smtp.KeepBody = false;
  for (auto _ : state) {
    smtp.PostMessage.BodyFiles.clear();
    smtp.PostMessage.Body = BuildBodyLines(TStringList{"text"}, TStringList{FromOsPath(path)}, true,
                                           MailCharset::Iso2022JpLegacy, &smtp.PostMessage.BodyFiles);
    smtp.BuildMessage();
    smtp.WriteBody(discard);
  }
  state.SetBytesProcessed(state.iterations() * (50 << 20));
  ::unlink(path.c_str());
}
BENCHMARK(BM_AttachmentStreamed)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
