#include "loaded_module.h"

#include "module_stack.h"

int32_t NotifyModule(const PeImage* image, uint32_t reason) {
    if (!image->entryRva) return 1;
    return (int32_t)CallOnModuleStack(image->base + image->entryRva, (uint32_t)(uintptr_t)image->base, reason, 0);
}

ModuleLoad LoadModule(const char* path, PeImage* image) {
    switch (MapImage(path, image)) {
        case ImageUnreadable: return ModuleUnreadable;
        case ImageRefused: return ModuleRefused;
        case ImageMapped: break;
    }
    if (NotifyModule(image, kReasonProcessAttach)) return ModuleLoaded;
    NotifyModule(image, kReasonProcessDetach);
    UnmapImage(image);
    return ModuleAttachFailed;
}

void UnloadModule(PeImage* image) {
    NotifyModule(image, kReasonProcessDetach);
    UnmapImage(image);
}
