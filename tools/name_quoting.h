// File names in messages, quoted as coreutils quotes them, so that a name with spaces, quotes or control characters
// reads unambiguously and can be pasted back into a shell.
#ifndef MISTVANE_NAME_QUOTING_H
#define MISTVANE_NAME_QUOTING_H

#include <string>

// Always quoted: 'photo 1.bmp', "it's.bmp", 'a'$'\n''b.bmp'.
std::string QuotedName(const std::string& name);

// Quoted only when a shell would need it, for a command line the user may copy: red.bmp, 'photo 1.bmp'.
std::string ShellWord(const std::string& word);

#endif
