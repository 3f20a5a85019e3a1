// The few operations the effect needs from the platform's core library: memory, files, the standard error stream
// and path conversion. Each platform build supplies one implementation; nothing else in the effect touches the
// operating system.
#ifndef MISTVANE_PLATFORM_H
#define MISTVANE_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

#include "VostrelMistvane.h"

void* AllocateBlock(size_t bytes);  // null when memory runs out
void ReleaseBlock(void* block);     // accepts null

// The platform's narrow form of a UTF-16 path, in a heap block to release with ReleaseBlock.
enum PathConversion { PathConverted, PathInvalid, PathNoMemory };
PathConversion NarrowPath(const MistvaneChar* widePath, char** narrowPath);

// Writes the one diagnostic to the standard error stream.
void ReportNotBitmap();

struct PlatformFile;

PlatformFile* OpenForReading(const char* path);
// Bytes the opened file holds; false when that cannot be told.
bool FileSize(PlatformFile* file, uint64_t* size);
// Reads up to `count` bytes; fewer only at the end of the file. -1 when reading fails.
int64_t ReadBytes(PlatformFile* file, void* buffer, size_t count);
bool WriteBytes(PlatformFile* file, const void* buffer, size_t count);
// Flushes and closes; false when anything written could not be stored.
bool CloseFile(PlatformFile* file);

// An output that only replaces the file at `path` once it is complete. Regular files (and paths that do not exist
// yet) are written to a new file beside the target, which takes the target's place and permission bits on commit;
// anything else, such as a device or a pipe, is written in place.
struct OutputFile {
    PlatformFile* file;
    char* targetPath;     // where the result goes; a symbolic link is followed to the file it names
    char* temporaryPath;  // null when writing in place
};
bool OpenOutput(const char* path, OutputFile* output);
// Closes and moves the result into place. On failure the target keeps its previous content and nothing is left.
bool CommitOutput(OutputFile* output);
// Closes and removes whatever was written beside the target.
void AbandonOutput(OutputFile* output);

// What each platform supplies for the output above (output_file.cpp builds it from these).
enum OutputKind {
    OutputMissing,     // nothing there yet
    OutputFileExists,  // a regular file, or a link to one
    OutputNotAFile,    // a device, a pipe or a directory: written in place (a directory then fails to open)
    OutputUnreachable  // the path cannot be examined
};
OutputKind KindOfOutput(const char* path);
PlatformFile* OpenInPlace(const char* path);
// The file an existing output names (links followed), in a heap block; null when this process may not write it.
char* WritableFileBehind(const char* path);
// How much of a path is its directory, separator included.
size_t DirectoryPartLength(const char* path);
uint32_t ProcessNumber();
// Creates a file that did not exist; *alreadyExists tells a name clash from any other failure.
PlatformFile* CreateNewFile(const char* path, bool* alreadyExists);
// Gives the new file at temporaryPath the protection of target (permission bits, or attributes on Windows).
bool CarryProtection(const char* target, PlatformFile* file, const char* temporaryPath);
// Puts `from` in the place of `to` in one step.
bool ReplaceFile(const char* from, const char* to);
void RemoveFile(const char* path);

#endif
