// Whether a batch's files may be blurred in any order. Each call stands alone, so files that share nothing give the
// same result however many run at once; two that share a file (two outputs that are one file, or an input that is
// another input's output) give the result of one after another only in the order given.
#ifndef MISTVANE_BATCH_ORDER_H
#define MISTVANE_BATCH_ORDER_H

#include <string>
#include <vector>

// Where `path` leads, as an absolute path, whether or not it exists: the directory part through realpath where it
// exists, then each symbolic link of the final component through readlink, as the module follows them to the file
// it replaces or creates.
std::string ResolvedPath(const std::string& path);

// Whether some files must be blurred in the order given: two outputs are one file (the same inode, or paths that
// lead to the same path), or an input is, under another name or through a link, the file another input is written
// to. An input that is its own output is marked in `ontoItself` instead (a batch never writes a file onto itself, as
// cp does not copy one onto itself).
bool OrderMatters(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs,
                  std::vector<bool>* ontoItself);

#endif
