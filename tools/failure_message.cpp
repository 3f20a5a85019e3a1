#include "failure_message.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "VostrelMistvane.h"
#include "bitmap_diagnosis.h"

namespace {

// Causes that come from opening a file rather than reading one that opened.
bool IsOpenFailure(int cause) {
    switch (cause) {
        case ENOENT: case ENOTDIR: case EACCES: case EPERM: case ELOOP: case ENAMETOOLONG: case ENXIO: case ENODEV:
        case EMFILE: case ENFILE: case EINVAL: case EOVERFLOW: case ETXTBSY:
            return true;
        default:
            return false;
    }
}

// A symbolic link to nothing: the module does not create a file through one (as cp does not), and says ENOENT.
bool IsDanglingLink(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode) && stat(path.c_str(), &status) != 0 &&
           errno == ENOENT;
}

std::string Reason(int cause) {
    return cause != 0 ? std::string(": ") + std::strerror(cause) : "";
}

}  // namespace

std::string FailureMessage(int32_t status, int cause, const CallFiles& files) {
    switch (status) {
        case MistvaneStatusNotBitmap:
            return files.inputName + " " + WhyRefused(files.input);
        case MistvaneStatusInputOpenFailed:
            if (cause == ENODATA) return files.inputName + " " + WhereItEnds(files.input);
            if (cause == ENOMEM) return "cannot blur " + files.inputName + Reason(cause);
            return (IsOpenFailure(cause) ? "cannot open " : "cannot read ") + files.inputName + Reason(cause);
        case MistvaneStatusOutputOpenFailed:
            if (cause == ENOENT && IsDanglingLink(files.output))
                return "not writing through dangling symlink " + files.outputName;
            return "cannot write " + files.outputName + Reason(cause);
        default:
            return "the module returned the unknown status " + std::to_string(status) + " for " + files.inputName;
    }
}
