// A module loaded as the platform loads one: mapped (pe_image), then told of the process attach; unloaded by the
// process detach, then unmapped. The entry point always runs on the module's own stack, and gets a module handle
// that is not the image's base, as the kernel's is.
#ifndef CE_LOADER_LOADED_MODULE_H
#define CE_LOADER_LOADED_MODULE_H

#include <stdint.h>

#include "pe_image.h"

const uint32_t kReasonProcessDetach = 0;
const uint32_t kReasonProcessAttach = 1;
const uint32_t kReasonThreadAttach = 2;
const uint32_t kReasonThreadDetach = 3;

enum ModuleLoad { ModuleLoaded, ModuleUnreadable, ModuleRefused, ModuleAttachFailed };

// On ModuleAttachFailed the entry point refused the attach: as the platform's loader does, the image was then
// unmapped without a process detach.
ModuleLoad LoadModule(const char* path, PeImage* image);
// The process detach, then the image unmapped.
void UnloadModule(PeImage* image);
// The image unmapped with no notification.
void UnloadModuleSilently(PeImage* image);

// The entry point's answer to a notification (1 for a module without one).
int32_t NotifyModule(const PeImage* image, uint32_t reason);

#endif
