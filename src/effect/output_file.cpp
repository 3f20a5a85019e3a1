// An output that never loses what the target held: the result goes to a new file beside the target and takes its
// place only once complete. The same on every platform; the platform layer supplies the file operations.
#include "platform.h"

static size_t TextLength(const char* text) {
    size_t length = 0;
    while (text[length]) ++length;
    return length;
}

static void CopyChars(char* to, const char* from, size_t count) {
    for (size_t k = 0; k < count; ++k) to[k] = from[k];
}

// A heap copy of `text` with room for `extra` more characters.
static char* CopyText(const char* text, size_t extra) {
    size_t length = TextLength(text);
    if (length > SIZE_MAX - extra - 1) return 0;
    char* copy = (char*)AllocateBlock(length + extra + 1);
    if (copy) CopyChars(copy, text, length + 1);
    return copy;
}

static size_t AppendNumber(char* out, uint32_t value) {
    char digits[12];
    size_t count = 0;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    for (size_t k = 0; k < count; ++k) out[k] = digits[count - 1 - k];
    return count;
}

// Creates a new file, with a name no other call or process is using, in the directory of `target`: the process
// number keeps processes apart, a counter the calls of one process.
static PlatformFile* CreateBeside(const char* target, char** temporaryPath) {
    static uint32_t sequence;
    const char prefix[] = ".mistvane-";
    const char suffix[] = ".tmp";
    size_t directory = DirectoryPartLength(target);
    char* path = CopyText(target, sizeof prefix + sizeof suffix + 24);
    if (!path) return 0;
    uint32_t process = ProcessNumber();
    for (int attempt = 0; attempt < 100; ++attempt) {
        size_t used = directory;
        CopyChars(path + used, prefix, sizeof prefix - 1);
        used += sizeof prefix - 1;
        used += AppendNumber(path + used, process);
        path[used++] = '-';
        used += AppendNumber(path + used, __atomic_fetch_add(&sequence, 1, __ATOMIC_RELAXED));
        CopyChars(path + used, suffix, sizeof suffix);
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

bool OpenOutput(const char* path, OutputFile* output) {
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
    output->targetPath = exists ? WritableFileBehind(path) : CopyText(path, 0);
    if (!output->targetPath) return false;
    output->file = CreateBeside(output->targetPath, &output->temporaryPath);
    if (!output->file || (exists && !CarryProtection(output->targetPath, output->file, output->temporaryPath))) {
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
