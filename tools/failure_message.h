// The one line that tells a user why a file was not blurred: the file named, then the cause, as coreutils words it.
#ifndef MISTVANE_FAILURE_MESSAGE_H
#define MISTVANE_FAILURE_MESSAGE_H

#include <cstdint>
#include <string>

// A call's two files: the paths the module was given, and how messages name them (quoted, or "standard input").
struct CallFiles {
    std::string input, output;
    std::string inputName, outputName;
};

// What follows "mistvane: " for a call that returned `status` (not success) and left `cause` in errno.
std::string FailureMessage(int32_t status, int cause, const CallFiles& files);

#endif
