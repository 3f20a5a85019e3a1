// An output that never loses what the target held: the result goes to a new file beside the target and takes its
// place only once complete (or, where that would lose the target's other names or owner, is copied into it only
// once complete). The same on every platform; the platform layer supplies the file operations.
#include "platform.h"

static size_t PathLength(const PathChar* path) {
    size_t length = 0;
    while (path[length]) ++length;
    return length;
}

static void CopyChars(PathChar* to, const PathChar* from, size_t count) {
    for (size_t k = 0; k < count; ++k) to[k] = from[k];
}

// Appends plain ASCII text, terminator included.
static size_t AppendText(PathChar* out, const char* text) {
    size_t count = 0;
    for (; text[count]; ++count) out[count] = (PathChar)text[count];
    out[count] = 0;
    return count;
}

PathChar* CopyPath(const PathChar* path, size_t extra) {
    size_t length = PathLength(path);
    if (length > (SIZE_MAX / sizeof(PathChar)) - extra - 1) return 0;
    PathChar* copy = (PathChar*)AllocateBlock((length + extra + 1) * sizeof(PathChar));
    if (copy) CopyChars(copy, path, length + 1);
    return copy;
}

static size_t AppendNumber(PathChar* out, uint32_t value) {
    char digits[12];
    size_t count = 0;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    for (size_t k = 0; k < count; ++k) out[k] = (PathChar)digits[count - 1 - k];
    return count;
}

// Finds a name no other call or process is using in the directory of `target` and, with it, creates a new file
// there or, given an unnamed one, names that: the seed keeps processes apart where the platform can tell them
// apart, a counter the calls of one process, and a name that is taken all the same is skipped.
static PathChar* NameBeside(const PathChar* target, PlatformFile* unnamed, PlatformFile** created) {
    const char prefix[] = ".mistvane-";
    const char suffix[] = ".tmp";
    size_t directory = DirectoryPartLength(target);
    PathChar* path = CopyPath(target, sizeof prefix + sizeof suffix + 24);
    if (!path) return 0;
    uint32_t seed = TemporaryNameSeed();
    for (int attempt = 0; attempt < 100; ++attempt) {
        size_t used = directory;
        used += AppendText(path + used, prefix);
        used += AppendNumber(path + used, seed);
        path[used++] = '-';
        used += AppendNumber(path + used, NextTemporaryNumber());
        AppendText(path + used, suffix);
        bool alreadyExists = false;
        bool made = unnamed ? NameUnnamedFile(unnamed, path, &alreadyExists)
                            : (*created = CreateNewFile(path, &alreadyExists)) != 0;
        if (made) return path;
        if (!alreadyExists) break;
    }
    ReleaseBlock(path);
    return 0;
}

bool OpenOutput(const PathChar* path, uint64_t expectedSize, OutputFile* output) {
    output->file = 0;
    output->targetPath = 0;
    output->temporaryPath = 0;
    output->replacing = false;
    output->copyIntoTarget = false;
    if (!path || !*path) {
        SetModuleFailure(path ? FailureNoSuchFile : FailureInvalidPath);
        return false;
    }

    OutputKind kind = KindOfOutput(path);
    if (kind == OutputUnreachable) return false;
    if (kind == OutputNotAFile) {
        output->file = OpenInPlace(path);
        return output->file != 0;
    }
    output->replacing = kind == OutputFileExists;
    // Replace the file a link leads to, not the link; and only a file this process may write.
    output->targetPath = output->replacing ? WritableFileBehind(path) : CopyPath(path, 0);
    if (!output->targetPath) return false;
    // A file without a name leaves nothing behind if the process dies while it is written; where there is none, a
    // named one does, until it is renamed or removed.
    output->file = CreateUnnamedFile(output->targetPath);
    if (!output->file) output->temporaryPath = NameBeside(output->targetPath, 0, &output->file);
    if (!output->file || !ReserveRoomFor(output->file, expectedSize) ||
        (output->replacing &&
         !PrepareReplacement(output->targetPath, output->file, output->temporaryPath, &output->copyIntoTarget))) {
        uint32_t cause = CurrentFailure();
        AbandonOutput(output);
        RestoreFailure(cause);
        return false;
    }
    return true;
}

// The finished file is named, then renamed over the target; or, when that would lose something the target has,
// copied into it.
bool CommitOutput(OutputFile* output) {
    // Stopped from here on, the process would leave a finished file under a temporary name, or the target copied
    // into part way: a request to stop waits until the result is in place (or abandoned). A device or a pipe written
    // in place has nothing to protect, and a stalled reader must not keep a stop waiting.
    uint32_t held = output->targetPath ? HoldInterruptions() : 0;
    PlatformFile* file = output->file;
    output->file = 0;
    bool stored = FinishWriting(file, output->replacing ? output->targetPath : 0, &output->copyIntoTarget);
    if (stored && output->targetPath) {
        if (output->copyIntoTarget)
            stored = CopyIntoTarget(file, output->targetPath);
        else if (!output->temporaryPath)
            stored = (output->temporaryPath = NameBeside(output->targetPath, file, 0)) != 0;
    }
    // The first failure is the one to report, not what closing and removing the file may add to it.
    uint32_t cause = stored ? 0 : CurrentFailure();
    if (!CloseFile(file) && stored) {
        stored = false;
        cause = CurrentFailure();
    }
    bool moved = false;
    if (stored && output->temporaryPath && !output->copyIntoTarget) {
        stored = moved = ReplaceFile(output->temporaryPath, output->targetPath);
        if (!moved) cause = CurrentFailure();
    }
    if (output->temporaryPath && !moved) RemoveFile(output->temporaryPath);
    if (!stored) RestoreFailure(cause);
    ReleaseBlock(output->temporaryPath);
    ReleaseBlock(output->targetPath);
    output->temporaryPath = 0;
    output->targetPath = 0;
    ReleaseInterruptions(held);
    return stored;
}

void AbandonOutput(OutputFile* output) {
    if (output->file) CloseFile(output->file);
    if (output->temporaryPath) RemoveFile(output->temporaryPath);
    ReleaseBlock(output->temporaryPath);
    ReleaseBlock(output->targetPath);
    output->file = 0;
    output->temporaryPath = 0;
    output->targetPath = 0;
}
