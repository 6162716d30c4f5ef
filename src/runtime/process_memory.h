#pragma once
// How the process's allocator treats memory it has been given back.

namespace qor::runtime {

// Keeps freed memory for the next allocation instead of returning it to the system. The bridge
// builds buffers of megabytes again and again (request lines, observations, captures), and on a
// virtual machine faulting fresh pages in costs more than writing them: without this, every large
// buffer came from pages the system had just taken back. Call once at start-up.
void keepFreedMemoryForReuse();

}  // namespace qor::runtime
