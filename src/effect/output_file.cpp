// An output that never loses what the target held: the result goes to a new file beside the target and takes its
// place only once complete. The same on every platform; the platform layer supplies the file operations.
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

// Creates a new file, with a name no other call or process is using, in the directory of `target`: the seed keeps
// processes apart where the platform can tell them apart, a counter the calls of one process, and a name that is
// taken all the same is skipped.
static PlatformFile* CreateBeside(const PathChar* target, PathChar** temporaryPath) {
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
        PlatformFile* file = CreateNewFile(path, &alreadyExists);
        if (file) {
            *temporaryPath = path;
            return file;
        }
        if (!alreadyExists) break;
    }
    ReleaseBlock(path);
    return 0;
}

bool OpenOutput(const PathChar* path, OutputFile* output) {
    output->file = 0;
    output->targetPath = 0;
    output->temporaryPath = 0;
    if (!path || !*path) return false;

    OutputKind kind = KindOfOutput(path);
    if (kind == OutputUnreachable) return false;
    if (kind == OutputNotAFile) {
        output->file = OpenInPlace(path);
        return output->file != 0;
    }
    bool exists = kind == OutputFileExists;
    // Replace the file a link leads to, not the link; and only a file this process may write.
    output->targetPath = exists ? WritableFileBehind(path) : CopyPath(path, 0);
    if (!output->targetPath) return false;
    output->file = CreateBeside(output->targetPath, &output->temporaryPath);
    if (!output->file || (exists && !PrepareReplacement(output->targetPath, output->file, output->temporaryPath))) {
        AbandonOutput(output);
        return false;
    }
    return true;
}

bool CommitOutput(OutputFile* output) {
    bool stored = CloseFile(output->file);
    output->file = 0;
    if (stored && output->temporaryPath) stored = ReplaceFile(output->temporaryPath, output->targetPath);
    if (!stored && output->temporaryPath) RemoveFile(output->temporaryPath);
    ReleaseBlock(output->temporaryPath);
    ReleaseBlock(output->targetPath);
    output->temporaryPath = 0;
    output->targetPath = 0;
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
