// Read-only segments of a loaded object, found through its program headers
// rather than /proc/self/maps, so the caller pays for no text parsing.
#include "core/unwritten_pages.h"

#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace zrwin {

namespace {

struct Search {
    uintptr_t address;
    size_t advised = 0;
};

bool Contains(const dl_phdr_info* object, uintptr_t address) {
    for (int i = 0; i < object->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = object->dlpi_phdr[i];
        uintptr_t start = object->dlpi_addr + segment.p_vaddr;
        if (segment.p_type == PT_LOAD && address >= start && address < start + segment.p_memsz) return true;
    }
    return false;
}

bool OverlapsRelro(const dl_phdr_info* object, uintptr_t start, uintptr_t end) {
    for (int i = 0; i < object->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = object->dlpi_phdr[i];
        if (segment.p_type != PT_GNU_RELRO) continue;
        uintptr_t relro = object->dlpi_addr + segment.p_vaddr;
        if (start < relro + segment.p_memsz && relro < end) return true;
    }
    return false;
}

// Text relocations are written into read-only segments while the object
// loads; those pages differ from the file and must stay.
bool HasTextRelocations(const dl_phdr_info* object) {
    for (int i = 0; i < object->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = object->dlpi_phdr[i];
        if (segment.p_type != PT_DYNAMIC) continue;
        for (auto* entry = reinterpret_cast<const ElfW(Dyn)*>(object->dlpi_addr + segment.p_vaddr);
             entry->d_tag != DT_NULL; ++entry) {
            if (entry->d_tag == DT_TEXTREL || (entry->d_tag == DT_FLAGS && (entry->d_un.d_val & DF_TEXTREL)))
                return true;
        }
    }
    return false;
}

int Visit(dl_phdr_info* object, size_t, void* raw) {
    auto* search = static_cast<Search*>(raw);
    if (!Contains(object, search->address)) return 0;
    if (HasTextRelocations(object)) return 1;
    const uintptr_t page = uintptr_t(::sysconf(_SC_PAGESIZE));
    for (int i = 0; i < object->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = object->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || (segment.p_flags & PF_W)) continue;
        // Whole pages inside the segment only: a page shared with a written
        // neighbour would lose that neighbour's writes.
        uintptr_t start = (object->dlpi_addr + segment.p_vaddr + page - 1) & ~(page - 1);
        uintptr_t end = (object->dlpi_addr + segment.p_vaddr + segment.p_filesz) & ~(page - 1);
        if (end <= start || OverlapsRelro(object, start, end)) continue;
        if (::madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED) == 0) search->advised += end - start;
    }
    return 1;
}

}  // namespace

size_t DropUnwrittenPagesOf(const void* address) {
    Search search{reinterpret_cast<uintptr_t>(address)};
    dl_iterate_phdr(&Visit, &search);
    return search.advised;
}

}  // namespace zrwin
