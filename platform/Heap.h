// How the process's heap is set up for the program's work: large blocks returned
// to the system when freed, and the heap made present a stretch at a time while it
// fills with many small blocks.
#pragma once

#include <cstddef>

// Large blocks (a large body's stream) come from mappings of their own and go back
// to the system as soon as they are freed, however large an earlier freed block was.
void ReturnLargeBlocks();

// While it lives, the heap grows kStep at a time, and Ahead makes each new stretch
// present with one call instead of a page fault for every page it holds: for work
// that fills much of the heap with small blocks (the lines of a long body). The
// memory is the heap's own: what is made present is what the next blocks take. A
// kernel without the advice ignores it.
class THeapPrefaulter {
 public:
  static constexpr size_t kStep = 2 << 20;
  THeapPrefaulter();
  ~THeapPrefaulter();
  THeapPrefaulter(const THeapPrefaulter&) = delete;
  THeapPrefaulter& operator=(const THeapPrefaulter&) = delete;
  // Makes the stretch present that the heap grew by since the last call. Costs no
  // system call while the heap has not grown.
  void Ahead();
  // Makes the whole pages of a block about to be filled present with one call.
  static void MakePresent(const void* block, size_t bytes);

 private:
  char* end_;
};
