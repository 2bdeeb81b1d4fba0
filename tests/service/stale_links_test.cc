// The links a killed norvd left: only "<prefix>N" links go; a file or folder
// at such a name stays and stops norvd; other names are not norvd's. All in
// a scratch folder of its own.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "setup/stale_links.h"

namespace norvd {
namespace {

namespace fs = std::filesystem;

enum class Kind { kLink, kFile, kFolder };

struct Entry {
    std::string name;
    Kind kind;
};

std::set<std::string> names_in(const std::string &dir) {
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(dir)) names.insert(e.path().filename());
    return names;
}

TEST(StaleLinks, OnlyNorvdsLinksGo) {
    struct Case {
        const char *what;
        std::vector<Entry> entries;
        bool ok;
        std::set<std::string> left;
    } cases[] = {
        {"links of devices, dangling or not",
         {{"rtf0", Kind::kLink}, {"rtf1", Kind::kLink}, {"rtf1020", Kind::kLink}, {".norvd.lock", Kind::kFile}},
         true,
         {".norvd.lock"}},
        {"names that are not of a device",
         {{"rtf", Kind::kLink}, {"rtfx", Kind::kLink}, {"rtf1x", Kind::kLink}, {"xrtf1", Kind::kLink},
          {"rtf-1", Kind::kLink}, {"rtf1", Kind::kLink}},
         true,
         {"rtf", "rtfx", "rtf1x", "xrtf1", "rtf-1"}},
        {"another service's devices stay, the links still go",
         {{"rtf2", Kind::kFile}, {"rtf3", Kind::kFolder}, {"rtf4", Kind::kLink}},
         false,
         {"rtf2", "rtf3"}},
        {"nothing there", {}, true, {}},
    };
    for (const Case &c : cases) {
        char scratch[] = "/tmp/stale_links_test.XXXXXX";
        ASSERT_NE(mkdtemp(scratch), nullptr);
        const std::string dir = scratch;
        for (const Entry &e : c.entries) {
            const std::string path = dir + "/" + e.name;
            switch (e.kind) {
            case Kind::kLink:
                fs::create_symlink("pts/" + e.name, path);  // pts/ does not exist: dangling
                break;
            case Kind::kFile:
                std::ofstream(path) << "x";
                break;
            case Kind::kFolder:
                fs::create_directory(path);
                break;
            }
        }
        EXPECT_EQ(remove_stale_links(dir + "/rtf"), c.ok) << c.what;
        EXPECT_EQ(names_in(dir), c.left) << c.what;
        fs::remove_all(dir);
    }
}

TEST(StaleLinks, FolderMissing) {
    char scratch[] = "/tmp/stale_links_test.XXXXXX";
    ASSERT_NE(mkdtemp(scratch), nullptr);
    const std::string dir = scratch;
    EXPECT_FALSE(remove_stale_links(dir + "/missing/rtf"));
    fs::remove_all(dir);
}

}  // namespace
}  // namespace norvd
