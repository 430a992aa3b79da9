// Fuzz target: sequences of reads, writes, seeks and put-backs on a TS_BufferStream
// over a memory stream, against a plain string with a position. Every call's result
// and, once the buffer stream is gone (its pending bytes written out), the memory
// stream's contents must match the model. Block sizes are small so that blocks fill
// and flush often.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "platform/Streams.h"
#include "platform/SysUtils.h"
#include "sock/LxExtstr.h"

namespace {

struct Model {
  std::string data;
  int64_t pos = 0;
  int64_t Read(int64_t count, std::string& out) {
    int64_t n = std::max<int64_t>(0, std::min<int64_t>(count, static_cast<int64_t>(data.size()) - pos));
    out = n > 0 ? data.substr(static_cast<size_t>(pos), static_cast<size_t>(n)) : std::string();
    pos += n;
    return n;
  }
  void Write(const std::string& bytes) {
    if (bytes.empty()) return;  // nothing written moves nothing, also past the end
    if (static_cast<size_t>(pos) + bytes.size() > data.size()) data.resize(static_cast<size_t>(pos) + bytes.size());
    data.replace(static_cast<size_t>(pos), bytes.size(), bytes);
    pos += static_cast<int64_t>(bytes.size());
  }
};

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }

 private:
  const uint8_t* data_;
  size_t size_, at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  const int32_t saved = DefaultBufferSize;
  DefaultBufferSize = 1 + in.Byte() % 16;
  TMemoryStream memory;
  Model model;
  // Start from some contents, as a stream that already holds a file.
  const size_t initial = in.Byte() % 40;
  for (size_t i = 0; i < initial; ++i) model.data += static_cast<char>('a' + i % 26);
  memory.Write(model.data.data(), static_cast<int64_t>(model.data.size()));
  memory.Seek(0, soFromBeginning);
  {
    TS_BufferStream stream(memory);
    DefaultBufferSize = saved;
    int step = 0;
    bool justRead = false;  // the last call was a read that handed out a byte
    while (!in.Empty()) {
      const uint8_t op = in.Byte();
      const int64_t amount = in.Byte() % 40;
      const std::string where = "step " + std::to_string(step++) + ": ";
      switch (op % 4) {
        case 0: {  // read
          std::string expected;
          const int64_t n = model.Read(amount, expected);
          std::string got(static_cast<size_t>(amount) + 1, '\0');
          const int64_t r = stream.Read(got.data(), amount);
          if (r != n || got.substr(0, static_cast<size_t>(std::max<int64_t>(r, 0))) != expected)
            fuzz::Fail(where + "read of " + std::to_string(amount) + " gave " + std::to_string(r) + ", model " +
                       std::to_string(n));
          justRead = r > 0;
          continue;
        }
        case 1: {  // write
          std::string bytes;
          for (int64_t i = 0; i < amount; ++i) bytes += static_cast<char>('A' + (op + i) % 26);
          const int64_t w = stream.Write(bytes.data(), amount);
          if (w != amount) fuzz::Fail(where + "write took " + std::to_string(w));
          model.Write(bytes);
          break;
        }
        case 2: {  // seek to a position at most a little past the end, by any origin
          const int64_t size = static_cast<int64_t>(model.data.size());
          const int64_t target = amount % (size + 8);
          const int origin = (op >> 2) % 3;
          const int64_t offset = origin == soFromBeginning ? target : origin == soFromCurrent ? target - model.pos : size - target;
          const int64_t r = stream.Seek(offset, origin);
          if (r != target)
            fuzz::Fail(where + "seek(" + std::to_string(offset) + ", " + std::to_string(origin) + ") gave " +
                       std::to_string(r) + ", model " + std::to_string(target));
          model.pos = target;
          break;
        }
        case 3: {  // put the byte just read back (only right after a read, its use)
          if (!justRead) break;
          try {
            stream.PutBack(model.data[static_cast<size_t>(model.pos) - 1]);
            --model.pos;
          } catch (const EStreamError&) {
            // Allowed when nothing of the current block was handed out.
          }
          break;
        }
      }
      justRead = false;
    }
  }
  DefaultBufferSize = saved;
  if (memory.DataString() != model.data) fuzz::Fail("contents differ after the buffer stream is gone");
  return 0;
}
