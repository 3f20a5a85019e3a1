// A module loaded as the platform loads one: mapped (pe_image), then told of the process attach; unloaded by the
// process detach, then unmapped. The entry point always runs on the module's own stack.
#ifndef CE_LOADER_LOADED_MODULE_H
#define CE_LOADER_LOADED_MODULE_H

#include <stdint.h>

#include "pe_image.h"

const uint32_t kReasonProcessDetach = 0;
const uint32_t kReasonProcessAttach = 1;
const uint32_t kReasonThreadAttach = 2;
const uint32_t kReasonThreadDetach = 3;

enum ModuleLoad { ModuleLoaded, ModuleUnreadable, ModuleRefused, ModuleAttachFailed };

// On ModuleAttachFailed the entry point refused the attach: as the platform's loader does, it was then given the
// process detach and the image unmapped.
ModuleLoad LoadModule(const char* path, PeImage* image);
void UnloadModule(PeImage* image);

// The entry point's answer to a notification (1 for a module without one).
int32_t NotifyModule(const PeImage* image, uint32_t reason);

#endif
