// What a file the module would not read is, told from the file itself: the module answers only "not a BMP it reads",
// so the program reads the file again and says what it found, and how to convert an image in another form.
#ifndef MISTVANE_BITMAP_DIAGNOSIS_H
#define MISTVANE_BITMAP_DIAGNOSIS_H

#include <string>

// Why a file was refused, as the rest of a message naming it ("is an 8-bit palette BMP; only 24-bit uncompressed BMP
// is read (convert it with: ...)"). `path` is read only when it is a regular file; anything else gets the general
// reason.
std::string WhyRefused(const std::string& path);

// For an input that ended before its last row: "ends after 12 of 480 rows" where the file can be read again, else
// "ends before its last row".
std::string WhereItEnds(const std::string& path);

#endif
