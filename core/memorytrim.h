#pragma once

namespace tw {

// Hands the free memory of every allocator arena back to the system. The C
// library keeps freed blocks for reuse, so after a burst (a pass over many
// watches) the process would otherwise stay at its peak while idle.
void returnFreeMemory();

} // namespace tw
