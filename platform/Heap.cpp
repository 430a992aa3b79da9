#include "platform/Heap.h"

#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

void ReturnLargeBlocks() { mallopt(M_MMAP_THRESHOLD, 128 * 1024); }

void RestartForLargeInput(char** argv, const std::string& inputPath, int64_t threshold) {
  constexpr char kTunable[] = "glibc.malloc.hugetlb=1";
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  if (tunables && std::strstr(tunables, "glibc.malloc.hugetlb=")) return;  // set already (by us or the caller)
  struct stat st;
  if (inputPath.empty() || ::stat(inputPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < threshold)
    return;
  const std::string value = tunables && *tunables ? std::string(tunables) + ":" + kTunable : std::string(kTunable);
  if (::setenv("GLIBC_TUNABLES", value.c_str(), 1) != 0) return;
  ::execv("/proc/self/exe", argv);
  // Not restarted: the run goes on with the heap as it is.
  if (tunables) ::setenv("GLIBC_TUNABLES", tunables, 1);
  else ::unsetenv("GLIBC_TUNABLES");
}
