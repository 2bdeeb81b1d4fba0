// stale_links.cc: removing the links of a norvd that was killed.
#include "setup/stale_links.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "io/log.h"

namespace norvd {
namespace {

// "<stem>N", N one or more digits.
bool device_name(std::string_view name, std::string_view stem) {
    if (name.size() <= stem.size() || name.substr(0, stem.size()) != stem) return false;
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(stem.size()), name.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool remove_stale_links(const std::string &prefix) {
    const size_t slash = prefix.rfind('/');
    const std::string dirPath = prefix.substr(0, slash);
    const std::string stem = prefix.substr(slash + 1);
    DIR *dir = opendir(dirPath.c_str());
    if (dir == nullptr) return log_error(failed(("opendir " + dirPath).c_str())), false;
    bool ok = true;
    while (dirent *e = readdir(dir)) {
        if (!device_name(e->d_name, stem)) continue;
        std::string path = dirPath + "/" + e->d_name;
        struct stat st {};
        if (lstat(path.c_str(), &st) < 0) continue;
        if (!S_ISLNK(st.st_mode)) {
            log_error(path + " exists and is not a link of norvd: is another timing service installed?");
            ok = false;
            continue;
        }
        if (unlink(path.c_str()) < 0)
            log_error(failed(("unlink " + path).c_str())), ok = false;
        else
            log_info("removed the stale link " + path);
    }
    closedir(dir);
    return ok;
}

}  // namespace norvd
