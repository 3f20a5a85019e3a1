// The few operations the effect needs from the platform's core library: memory, files, the standard error stream
// and path conversion. Each platform build supplies one implementation; nothing else in the effect touches the
// operating system.
#ifndef MISTVANE_PLATFORM_H
#define MISTVANE_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

#include "VostrelMistvane.h"

// Paths as the platform's file calls take them: UTF-16 on Windows and Windows CE, whose kernel file calls are wide,
// UTF-8 elsewhere.
#if defined(_WIN32) || defined(_WIN32_WCE)
typedef MistvaneChar PathChar;
#else
typedef char PathChar;
#endif

void* AllocateBlock(size_t bytes);  // null when memory runs out
void ReleaseBlock(void* block);     // accepts null; keeps the failure cause below

// Why the last operation failed, where the platform keeps it for the calling thread (errno, or the thread's last
// error on Windows): a failed call leaves it for its caller. Clean-up after a failure (closing, removing what was
// begun) saves it first and restores it after, so that the caller learns the first cause, not the clean-up's.
uint32_t CurrentFailure();
void RestoreFailure(uint32_t cause);
// The causes the module finds itself, in the platform's own terms.
enum ModuleFailure {
    FailureInputEnded,   // the input ended before its last row
    FailureInvalidPath,  // a null path, or one that is not valid UTF-16
    FailureNoSuchFile,   // an empty path
    FailureNoMemory
};
void SetModuleFailure(ModuleFailure failure);

// Rows are read and written in bands of about this many bytes: enough for the cost of each transfer to vanish,
// little enough for the platform's memory.
extern const size_t kBandBytes;

enum PathConversion { PathConverted, PathInvalid, PathNoMemory };
// The narrow form of a UTF-16 path that the runtime's streams open (the input), in a heap block to release with
// ReleaseBlock.
PathConversion NarrowPath(const MistvaneChar* widePath, char** narrowPath);
// The form of a UTF-16 path that the platform's file calls take (the output), in a heap block.
PathConversion FilePath(const MistvaneChar* widePath, PathChar** path);

// Writes the one diagnostic to the standard error stream.
void ReportNotBitmap();

// Brackets the moments when being stopped would leave a finished file beside the target, or a target copied into
// part way: the signals that ask a process to stop are held back in the calling thread and acted on once released.
// Hold returns what Release needs to give back exactly what was held.
uint32_t HoldInterruptions();
void ReleaseInterruptions(uint32_t held);

// Bracket each call, from its start to its return, so that the platform knows how many threads are at work on calls.
void BeginCall();
void EndCall();

struct PlatformFile;

PlatformFile* OpenForReading(const char* path);
// Bytes the opened file holds, or kStreamedInput for an input that can only be read as it arrives (a pipe, a FIFO, a
// device), whose size is not known before its end; false when that cannot be told.
const uint64_t kStreamedInput = UINT64_MAX;
// Whether the platform has such inputs at all. The PE builds read only files whose size the kernel gives: their
// reading as the bytes arrive, and the memory that grows with them, is left out of the module there.
#if defined(_WIN32) || defined(_WIN32_WCE)
const bool kStreamsInputs = false;
#else
const bool kStreamsInputs = true;
#endif
bool FileSize(PlatformFile* file, uint64_t* size);
// Reads up to `count` bytes; fewer only at the end of the file. -1 when reading fails.
int64_t ReadBytes(PlatformFile* file, void* buffer, size_t count);
bool WriteBytes(PlatformFile* file, const void* buffer, size_t count);
// Room for the next `count` bytes of an output, to fill and then pass to WriteBytes, which then takes them without a
// copy; null when the platform has none to lend, and the caller writes from its own memory.
uint8_t* LendWriteBuffer(PlatformFile* file, size_t count);
// Flushes and closes; false when anything written could not be stored.
bool CloseFile(PlatformFile* file);

// An output that only replaces the file at `path` once it is complete. Regular files (and paths that do not exist
// yet) are written to a new file beside the target, which takes the target's place and protection on commit;
// anything else, such as a device or a pipe, is written in place. Where renaming the new file over the target would
// lose what the target has (other names, an owner this process cannot give), the finished result is copied into the
// target instead.
struct OutputFile {
    PlatformFile* file;
    PathChar* targetPath;     // where the result goes; where the platform has links, the file a link names; null
                              // for a device or a pipe written in place
    PathChar* temporaryPath;  // the new file's name; null while it has none (or for a device)
    bool replacing;           // the target exists
    bool copyIntoTarget;      // the result is copied into the target rather than renamed over it
};
// `expectedSize` is the size the result should have (0 when it is not known), so that the platform can set aside
// room for it at once.
bool OpenOutput(const PathChar* path, uint64_t expectedSize, OutputFile* output);
// Closes and moves the result into place. On failure the target keeps its previous content and nothing is left,
// except when the copy into the target itself fails part way.
bool CommitOutput(OutputFile* output);
// Closes and removes whatever was written beside the target.
void AbandonOutput(OutputFile* output);

// A heap copy of `path` with room for `extra` more characters; null when memory runs out.
PathChar* CopyPath(const PathChar* path, size_t extra);

// What each platform supplies for the output above (output_file.cpp builds it from these).
enum OutputKind {
    OutputMissing,     // nothing there yet
    OutputFileExists,  // a regular file, or a link to one
    OutputNotAFile,    // a device, a pipe or a directory: written in place (a directory then fails to open)
    OutputUnreachable  // the path cannot be examined
};
OutputKind KindOfOutput(const PathChar* path);
PlatformFile* OpenInPlace(const PathChar* path);
// The file an existing output names (links followed), in a heap block; null when this process may not write it.
PathChar* WritableFileBehind(const PathChar* path);
// How much of a path is its directory, separator included.
size_t DirectoryPartLength(const PathChar* path);
// Two numbers for temporary names: one that differs between processes where the platform can tell them apart, and
// one that differs between the calls of a process.
uint32_t TemporaryNameSeed();
uint32_t NextTemporaryNumber();
// Creates a file that did not exist; *alreadyExists tells a name clash from any other failure.
PlatformFile* CreateNewFile(const PathChar* path, bool* alreadyExists);
// A new file without a name in the directory of `target`, so that nothing is left if the process dies before it is
// complete; null where the platform or the file system has none (a named file is then created beside the target).
PlatformFile* CreateUnnamedFile(const PathChar* target);
// Sets aside room on the disk for a new file's first `size` bytes without changing its size or content, where that
// gains something; false only when there is certainly no room for them.
bool ReserveRoomFor(PlatformFile* file, uint64_t size);
// Gives such a file, once complete, the name `path`; *alreadyExists tells a name clash from any other failure.
bool NameUnnamedFile(PlatformFile* file, const PathChar* path, bool* alreadyExists);
// Readies the new file at temporaryPath (null while it has no name) to take the existing target's place: gives it
// the target's owner and protection (permission bits, or attributes on Windows) and, where the platform gains by it,
// sends it to the disk as it is written. *copyIntoTarget is set when taking the target's place would lose something.
bool PrepareReplacement(const PathChar* target, PlatformFile* file, const PathChar* temporaryPath,
                        bool* copyIntoTarget);
// Stores everything written to an output. For one that replaces `target` (null for a new output) it then gives
// back what writing may have cleared, and the target's extended attributes; *copyIntoTarget is set when the new
// file cannot have all of it.
bool FinishWriting(PlatformFile* file, const PathChar* target, bool* copyIntoTarget);
// Writes the finished file's bytes into `target` itself, its size reserved first so that a full disk fails before
// the target is touched.
bool CopyIntoTarget(PlatformFile* file, const PathChar* target);
// Puts `from` in the place of `to` in one step.
bool ReplaceFile(const PathChar* from, const PathChar* to);
void RemoveFile(const PathChar* path);

#endif
