#include "platform/Heap.h"

#include <malloc.h>

void ReturnLargeBlocks() { mallopt(M_MMAP_THRESHOLD, 128 * 1024); }
