// A shared object has no DllMain: a constructor runs when it is loaded and
// names the library by its load address, which the platform layer uses as
// the handle of a loaded library.
#include <dlfcn.h>

#include "host/LibraryHandle.h"

namespace {

__attribute__((constructor)) void AttachHostLibrary() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&AttachHostLibrary), &info) != 0 && info.dli_fbase != nullptr)
        HostLibraryAttach(static_cast<HINSTANCE>(info.dli_fbase), DLL_PROCESS_ATTACH);
}

}  // namespace
