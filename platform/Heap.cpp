#include "platform/Heap.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace {
// The heap's growth beyond a request when no other is set (glibc's default).
constexpr int kDefaultTopPad = 128 * 1024;
}  // namespace

void ReturnLargeBlocks() { mallopt(M_MMAP_THRESHOLD, 128 * 1024); }

THeapPrefaulter::THeapPrefaulter() : end_(static_cast<char*>(::sbrk(0))) { mallopt(M_TOP_PAD, static_cast<int>(kStep)); }

THeapPrefaulter::~THeapPrefaulter() { mallopt(M_TOP_PAD, kDefaultTopPad); }

void THeapPrefaulter::MakePresent(const void* block, size_t bytes) {
  const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const uintptr_t from = (reinterpret_cast<uintptr_t>(block) + page - 1) & ~(page - 1);
  const uintptr_t to = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(page - 1);
#ifdef MADV_POPULATE_WRITE
  if (to > from) (void)::madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#endif
}

void THeapPrefaulter::Ahead() {
  char* const end = static_cast<char*>(::sbrk(0));
  if (end == end_) return;
  if (end > end_) {
    // From the page the old end lies in: the stretch is page aligned for the advice.
    const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const uintptr_t from = reinterpret_cast<uintptr_t>(end_) & ~(page - 1);
#ifdef MADV_POPULATE_WRITE
    (void)::madvise(reinterpret_cast<void*>(from), reinterpret_cast<uintptr_t>(end) - from, MADV_POPULATE_WRITE);
#endif
  }
  end_ = end;
}
