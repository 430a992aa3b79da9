// How the process's heap is set up for the program's work: large blocks returned
// to the system when freed, and the small blocks of a large input on huge pages.
#pragma once

#include <cstdint>
#include <string>

// Large blocks (an attachment's encoded text, freed block by block while the body
// stream is written) come from mappings of their own and go back to the system as
// soon as they are freed, however large an earlier freed block was.
void ReturnLargeBlocks();

// A large body is hundreds of thousands of line strings on fresh heap pages; with
// 4 KiB pages the page faults cost more than converting the text. When the file at
// inputPath (a file-system path) holds at least threshold bytes, the program image
// is started anew with the same arguments and the C library told to grow its heap
// on transparent huge pages (GLIBC_TUNABLES glibc.malloc.hugetlb=1, which then
// stays in the environment). Returns when it does not restart: small or unreadable
// input, the heap set up so already, or the restart failed (the run goes on as it is).
void RestartForLargeInput(char** argv, const std::string& inputPath, int64_t threshold = int64_t{4} << 20);
