#include "memorytrim.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tw {

void returnFreeMemory()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

} // namespace tw
