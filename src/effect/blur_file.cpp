// Mistvane: the file operation. Checks the input's headers before anything of the image's size is allocated or
// any output is opened, then streams the input through the blur into an output that replaces the target only once
// it is complete.
#include "VostrelMistvane.h"
#include "bitmap_blur.h"
#include "platform.h"

static int64_t ReadFromFile(void* context, void* buffer, size_t count) {
    return ReadBytes((PlatformFile*)context, buffer, count);
}

static bool WriteToFile(void* context, const void* buffer, size_t count) {
    return WriteBytes((PlatformFile*)context, buffer, count);
}

static uint8_t* LendFromFile(void* context, size_t count) {
    return LendWriteBuffer((PlatformFile*)context, count);
}

// A path that could not be converted fails the call as the one it names would, or as memory running out does.
static int32_t ConversionFailed(PathConversion conversion, int32_t statusForPath) {
    SetModuleFailure(conversion == PathNoMemory ? FailureNoMemory : FailureInvalidPath);
    return conversion == PathNoMemory ? MistvaneStatusInputOpenFailed : statusForPath;
}

// Opens the output and streams the blurred file into it. The input is closed once read, before the output takes the
// target's place: the target may be the input itself, and Windows cannot replace a file that is still open.
// The output is as long as the input (`inputSize`, or kStreamedInput when that is not known).
static int32_t BlurInto(BitmapBlur* blur, const uint8_t* headers, PlatformFile** input, uint64_t inputSize,
                        const MistvaneChar* outputPath) {
    PathChar* path = 0;
    PathConversion conversion = FilePath(outputPath, &path);
    if (conversion != PathConverted) return ConversionFailed(conversion, MistvaneStatusOutputOpenFailed);
    OutputFile output;
    bool opened = OpenOutput(path, inputSize == kStreamedInput ? 0 : inputSize, &output);
    ReleaseBlock(path);
    if (!opened) return MistvaneStatusOutputOpenFailed;

    ByteSource source = {ReadFromFile, *input};
    ByteSink sink = {WriteToFile, output.file, LendFromFile};
    int32_t status = RunBitmapBlur(blur, headers, &source, &sink);
    uint32_t cause = CurrentFailure();
    CloseFile(*input);
    *input = 0;
    if (status != MistvaneStatusDone) {
        AbandonOutput(&output);
        RestoreFailure(cause);
    } else if (!CommitOutput(&output)) {
        status = MistvaneStatusOutputOpenFailed;
    }
    return status;
}

// Closes the input when it is done with it; otherwise the caller does.
static int32_t BlurOpenedInput(PlatformFile** input, const MistvaneChar* outputPath) {
    uint8_t headers[kHeadersSize];
    int64_t got = ReadBytes(*input, headers, sizeof headers);
    uint64_t fileSize = 0;
    if (got < 0 || !FileSize(*input, &fileSize)) return MistvaneStatusInputOpenFailed;
    BitmapLayout layout;
    bool accepted = kStreamsInputs && fileSize == kStreamedInput
                        ? CheckStreamedBitmapHeaders(headers, (size_t)got, &layout)
                        : CheckBitmapHeaders(headers, (size_t)got, fileSize, &layout);
    if (!accepted) {
        ReportNotBitmap();
        return MistvaneStatusNotBitmap;
    }
    BitmapBlur blur;
    if (!StartBitmapBlur(&blur, &layout, kMistvaneRadius)) {
        SetModuleFailure(FailureNoMemory);
        return MistvaneStatusInputOpenFailed;
    }
    int32_t status = BlurInto(&blur, headers, input, fileSize, outputPath);
    EndBitmapBlur(&blur);
    return status;
}

extern "C" MISTVANE_API int32_t MISTVANE_CALL Mistvane(const MistvaneChar* inputPath, const MistvaneChar* outputPath) {
    BeginCall();
    int32_t status = MistvaneStatusInputOpenFailed;
    char* path = 0;
    PathConversion conversion = NarrowPath(inputPath, &path);
    if (conversion != PathConverted) {
        status = ConversionFailed(conversion, MistvaneStatusInputOpenFailed);
    } else {
        PlatformFile* input = OpenForReading(path);
        ReleaseBlock(path);
        if (input) {
            status = BlurOpenedInput(&input, outputPath);
            uint32_t cause = CurrentFailure();
            if (input) CloseFile(input);
            RestoreFailure(cause);
        }
    }
    EndCall();
    return status;
}
