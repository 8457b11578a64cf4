#include "base/Allocation.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

void keepLargeAllocationsMapped()
{
#ifdef __GLIBC__
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
#endif
}
