// Giving back the resident pages of a shared library's read-only segments.
#pragma once

#include <cstddef>

namespace zrwin {

// Drops from this process's resident set the pages of the read-only segments
// (code, constants) of the loaded object that contains `address`. Nothing is
// lost: those pages were never written, so the next use maps them again from
// the file (usually from the page cache). Writable and relocation-protected
// segments are left alone. Returns the bytes of address space advised, 0 when
// `address` is in no loaded object.
size_t DropUnwrittenPagesOf(const void* address);

}  // namespace zrwin
