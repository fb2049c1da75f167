// Heap port: how the process heap deals with large blocks.
#pragma once

namespace sorvane::platform {

// Gives every block of a megabyte or more a mapping of its own, returned to
// the system as soon as it is freed, for the rest of the process. Without it
// the Linux heap raises that limit each time it frees such a block, so a
// program that sets up and tears down picture-sized buffers over and over (a
// session's frames and encoder) ends up with them inside heaps that keep
// their pages, and its resident memory steps up with later sessions. Blocks
// made per frame (encoded frames, datagrams) stay well below the limit, so
// the frame path does not map and unmap memory. Call it once at the start of
// main, before any thread. The Windows heap already works this way (it maps
// large blocks on their own). False when the heap refused.
bool release_large_blocks_when_freed();

}  // namespace sorvane::platform
