// What the POSIX platform files share: the open file the effect reads or writes, the system calls it makes, retried
// where a signal handler interrupts them, and the pieces of the output path that live in files of their own.
#ifndef MISTVANE_POSIX_FILE_H
#define MISTVANE_POSIX_FILE_H

#include <sched.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <sys/uio.h>

#include "platform.h"

struct BackgroundWriter;

struct PlatformFile {
    int descriptor;
    BackgroundWriter* writer;  // null until an output outgrows a slot
    uint64_t written;          // bytes in the file so far: by the caller, then by the writer thread once there is one
    uint8_t* held;             // a new file's bytes past its last kWriteAlignment boundary, not yet written; null
                               // for any other file, or where there was no memory for it
    size_t heldSize;
    bool direct;               // no writer could be started: everything is written directly
    bool replacing;            // will take an existing file's place: sent to the disk as it is written
    mode_t finishedMode;       // a new named file's mode once complete (it is written readable by its owner alone);
                               // 0 for any other file
    uint64_t writebackEnd;     // how much of it the kernel has been asked to write out
    uint64_t reserved;         // room set aside for it on the disk, past what is written too
    uint64_t expected;         // the size it is expected to reach, where that is known; else 0
};

// A descriptor in a PlatformFile; null (and the descriptor closed) when there is no memory for it. A new file this
// call created also gets room to hold bytes back (posix_file_io.cpp).
PlatformFile* WrapDescriptor(int descriptor);
PlatformFile* WrapNewFile(int descriptor);

// The system calls, each retried after EINTR: a host's signal handler installed without SA_RESTART must not fail a
// call. A short read or write goes on where it stopped.
int OpenRetrying(const char* path, int flags, mode_t mode);
// Reads up to `count` bytes, fewer only at the end of the file; -1 when reading fails.
ssize_t ReadFully(int descriptor, void* buffer, size_t count);
// Writes the parts in order, however many calls that takes.
bool WriteParts(int descriptor, struct iovec* parts, int count);

// Writes `count` bytes at the file's end, holding back what lies past the last 64 KiB boundary of a new file.
bool WriteAll(PlatformFile* file, const void* buffer, size_t count);
// Writes what a new file still holds back: once everything else is written.
bool WriteHeld(PlatformFile* file);

// A block on a 2 MiB boundary, in huge pages where the kernel offers them (posix_basics.cpp); null when there is no
// memory for it. Released with ReleaseBlock.
void* AllocateHugeBlock(size_t bytes);

// The output writer (posix_output_writer.cpp): a large output is written a slot at a time, by a thread of its own
// where a processor is free for it.
extern const size_t kWriteSlot;
bool StartWriter(PlatformFile* file);                 // false, and no writer, when there is no memory for a slot
uint8_t* LendSlot(PlatformFile* file, size_t count);  // room in the slot being filled, or null
bool WriteThroughWriter(PlatformFile* file, const void* buffer, size_t count);
bool StopWriter(PlatformFile* file);                  // writes everything still queued; true when all was stored

// The processors the calls of this process keep busy (posix_basics.cpp): a writer thread counts as one while it runs.
bool TakeProcessor(int32_t processors);
void GiveBackProcessor();

// Gives the file at `descriptor` the extended attributes of `target` that belong to its content and protection, and
// takes away those it has that the target lacks; false when that cannot be done (posix_attributes.cpp).
bool CopyAttributes(const char* target, int descriptor);

#endif
