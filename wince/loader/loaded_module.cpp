#include "loaded_module.h"

#include "linux_calls.h"
#include "module_stack.h"

int32_t NotifyModule(const PeImage* image, uint32_t reason) {
    if (!image->entryRva) return 1;
    return (int32_t)CallOnModuleStack(image->base + image->entryRva, (uint32_t)(uintptr_t)image->handle, reason, 0);
}

ModuleLoad LoadModule(const char* path, PeImage* image) {
    switch (MapImage(path, image)) {
        case ImageUnreadable: return ModuleUnreadable;
        case ImageRefused: return ModuleRefused;
        case ImageMapped: break;
    }
    image->handle = LinuxMap(0, kPage, kProtNone, kMapPrivate);
    if (MapFailed(image->handle)) {
        image->handle = 0;
        UnmapImage(image);
        return ModuleRefused;
    }
    if (NotifyModule(image, kReasonProcessAttach)) return ModuleLoaded;
    // As the kernel does: a refused attach is not followed by a detach; the module is simply unmapped.
    UnloadModuleSilently(image);
    return ModuleAttachFailed;
}

void UnloadModuleSilently(PeImage* image) {
    if (image->handle) LinuxUnmap(image->handle, kPage);
    image->handle = 0;
    UnmapImage(image);
}

void UnloadModule(PeImage* image) {
    NotifyModule(image, kReasonProcessDetach);
    UnloadModuleSilently(image);
}
