#include "batch_order.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <utility>

namespace {

namespace fs = std::filesystem;

// The absolute form of a directory: through realpath where it exists, else the part that exists resolved and the
// rest normalised as written. A batch's outputs share one directory, so each is worked out once.
class Directories {
  public:
    const std::string& Resolved(const std::string& directory) {
        auto at = known_.find(directory);
        if (at != known_.end()) return at->second;
        std::string resolved;
        if (char* real = realpath(directory.c_str(), nullptr)) {
            resolved = real;
            std::free(real);
        } else {
            std::error_code error;
            fs::path absolute = fs::absolute(directory, error);
            fs::path canonical = error ? fs::path(directory) : fs::weakly_canonical(absolute, error);
            resolved = (error ? absolute.lexically_normal() : canonical).string();
        }
        return known_.emplace(directory, resolved).first->second;
    }

  private:
    std::map<std::string, std::string> known_;
};

std::string Resolve(const std::string& path, Directories* directories) {
    std::string current = path;
    // As many links as the kernel follows in one path (ELOOP beyond).
    for (int hops = 0; hops <= 40; ++hops) {
        fs::path named(current);
        std::string name = named.filename().string();
        std::string directory = named.has_parent_path() ? named.parent_path().string() : ".";
        if (name.empty() || name == "." || name == "..") return directories->Resolved(current);
        std::string parent = directories->Resolved(directory);
        std::string joined = (parent == "/" ? "" : parent) + "/" + name;
        char target[PATH_MAX];
        ssize_t length = readlink(joined.c_str(), target, sizeof target);
        if (length <= 0) return joined;  // not a link (EINVAL) or nothing there yet (ENOENT)
        std::string link(target, static_cast<size_t>(length));
        current = link[0] == '/' ? link : parent + "/" + link;
    }
    return current;
}

}  // namespace

std::string ResolvedPath(const std::string& path) {
    Directories directories;
    return Resolve(path, &directories);
}

bool OrderMatters(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs,
                  std::vector<bool>* ontoItself) {
    Directories directories;
    // Each output under both keys: the file it is now, if any, and the path it leads to.
    std::map<std::pair<dev_t, ino_t>, std::vector<size_t>> files;
    std::map<std::string, size_t> paths;
    bool matters = false;
    for (size_t k = 0; k < outputs.size(); ++k) {
        struct stat status;
        if (stat(outputs[k].c_str(), &status) == 0) {
            std::vector<size_t>& same = files[{status.st_dev, status.st_ino}];
            matters = matters || !same.empty();
            same.push_back(k);
        }
        matters = !paths.emplace(Resolve(outputs[k], &directories), k).second || matters;
    }
    for (size_t k = 0; k < inputs.size(); ++k) {
        struct stat status;
        if (!files.empty() && stat(inputs[k].c_str(), &status) == 0) {  // into a new directory: no file to meet
            auto at = files.find({status.st_dev, status.st_ino});
            if (at != files.end()) {
                for (size_t written : at->second) {
                    if (written == k)
                        (*ontoItself)[k] = true;
                    else
                        matters = true;
                }
            }
        }
        // A link that leads nowhere yet may lead to an output once that is written.
        auto at = paths.find(Resolve(inputs[k], &directories));
        if (at != paths.end() && at->second != k) matters = true;
    }
    return matters;
}
