// The metrics file's path: which existing file norvd takes at start (only a
// metrics file that a norvd wrote), and that a write or the stop never
// replaces or removes a file that someone else put at the path. All in a
// scratch folder of its own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "io/metrics_file.h"

namespace norvd {
namespace {

const std::string kOurs = std::string(kMetricsMarker) + "\nnorv_stale 1\n";

class MetricsFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/metrics_file_test.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string at(const std::string &name) const { return dir_ + "/" + name; }
    static void put(const std::string &path, const std::string &bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string bytes_of(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static struct stat lstat_of(const std::string &path) {
        struct stat st {};
        EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
        return st;
    }
    // The names in the folder, hidden ones too, sorted.
    std::string listing() const {
        std::set<std::string> names;
        for (const auto &e : std::filesystem::directory_iterator(dir_)) names.insert(e.path().filename());
        std::string out;
        for (const std::string &n : names) out += (out.empty() ? "" : " ") + n;
        return out;
    }

    std::string dir_;
};

TEST_F(MetricsFileTest, TextStartsWithTheMarker) {
    std::string text = metrics_text({});
    ASSERT_EQ(text.compare(0, kMetricsMarker.size() + 1, std::string(kMetricsMarker) + "\n"), 0) << text;
    // A comment to the text format: "# ", and neither HELP nor TYPE.
    EXPECT_EQ(kMetricsMarker.substr(0, 2), "# ");
    EXPECT_NE(kMetricsMarker.substr(0, 7), "# HELP ");
    EXPECT_NE(kMetricsMarker.substr(0, 7), "# TYPE ");
    EXPECT_EQ(kMetricsMarker.find('\n'), std::string_view::npos);
    EXPECT_EQ(text.find(kMetricsMarker, 1), std::string::npos);
}

TEST_F(MetricsFileTest, WhatIsTakenAtStart) {
    const uid_t me = geteuid();
    put(at("ours"), kOurs);
    put(at("precious"), "root:x:0:0:root:/root:/bin/bash\n");
    put(at("marker-later"), "precious\n" + kOurs);
    put(at("marker-longer"), std::string(kMetricsMarker) + " and more\n");
    put(at("marker-no-line-feed"), std::string(kMetricsMarker));
    put(at("empty"), "");
    ASSERT_EQ(symlink("ours", at("link").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", at("dangling").c_str()), 0);
    ASSERT_EQ(mkdir(at("folder").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(at("fifo").c_str(), 0644), 0);
    // A file of another user for real, where the test may make one.
    put(at("other-owner"), kOurs);
    bool chowned = me == 0 && chown(at("other-owner").c_str(), 65534, 65534) == 0;
    struct Case {
        const char *name;
        uid_t owner;       // norvd's effective uid, as far as the check knows
        const char *want;  // nullptr: taken; else in the refusal
    } cases[] = {
        {"missing", me, nullptr},
        {"ours", me, nullptr},
        // The same file, when norvd runs as another user than its owner.
        {"ours", me + 1, "is a file of uid "},
        {"other-owner", me, "is a file of uid 65534 (norvd runs as uid 0)"},
        {"precious", me, "is a file whose first line is not norvd's"},
        {"marker-later", me, "is a file whose first line is not norvd's"},
        {"marker-longer", me, "is a file whose first line is not norvd's"},
        {"marker-no-line-feed", me, "is a file whose first line is not norvd's"},
        {"empty", me, "is a file whose first line is not norvd's"},
        {"link", me, "is a symbolic link"},
        {"dangling", me, "is a symbolic link"},
        {"folder", me, "is a directory"},
        {"fifo", me, "is a device, FIFO or socket"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.name == std::string("other-owner") && !chowned) continue;
        std::string path = at(c.name);
        auto kind = std::filesystem::symlink_status(path).type();
        bool existed = kind != std::filesystem::file_type::not_found;
        bool regular = kind == std::filesystem::file_type::regular;
        std::string before = regular ? bytes_of(path) : "";
        PlacedFile placed;
        placed.dev = 1;  // a leftover that the check must clear
        std::string why = take_path(path, c.owner, placed);
        if (!c.want) {
            EXPECT_EQ(why, "");
            EXPECT_EQ(placed.fd.valid(), existed);
            if (existed) {
                EXPECT_TRUE(placed.is(lstat_of(path)));
            }
        } else {
            EXPECT_NE(why.find("metrics file " + path + " exists and " + c.want), std::string::npos) << why;
            EXPECT_NE(why.find("correct --metrics-file"), std::string::npos) << why;
            EXPECT_FALSE(placed.fd.valid());
        }
        if (regular) {
            EXPECT_EQ(bytes_of(path), before);
        }
    }
    // Left as they were: the links still links, to the same names.
    EXPECT_EQ(std::filesystem::read_symlink(at("link")), "ours");
    EXPECT_EQ(std::filesystem::read_symlink(at("dangling")), "nowhere");
    EXPECT_TRUE(std::filesystem::is_directory(at("folder")));
}

TEST_F(MetricsFileTest, WritesReplaceOnlyTheirOwnFile) {
    std::string path = at("norvd.prom");
    PlacedFile placed;
    ASSERT_EQ(take_path(path, geteuid(), placed), "");
    ASSERT_EQ(write_atomically(path, "one\n", placed), "");
    EXPECT_EQ(bytes_of(path), "one\n");
    EXPECT_TRUE(placed.is(lstat_of(path)));
    EXPECT_EQ(lstat_of(path).st_mode & 0777, 0644u);
    ASSERT_EQ(write_atomically(path, "two\n", placed), "");
    EXPECT_EQ(bytes_of(path), "two\n");
    EXPECT_TRUE(placed.is(lstat_of(path)));

    // A file renamed over norvd's is left as it is, and no hidden file stays.
    put(at("theirs"), "theirs\n");
    ASSERT_EQ(rename(at("theirs").c_str(), path.c_str()), 0);
    std::string why = write_atomically(path, "three\n", placed);
    EXPECT_NE(why.find("another file is at " + path + " (norvd did not write it)"), std::string::npos) << why;
    EXPECT_EQ(bytes_of(path), "theirs\n");
    EXPECT_EQ(listing(), "norvd.prom");
    // So is a symbolic link, and what it points to.
    put(at("target"), "target\n");
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(symlink("target", path.c_str()), 0);
    EXPECT_NE(write_atomically(path, "three\n", placed), "");
    EXPECT_EQ(std::filesystem::read_symlink(path), "target");
    EXPECT_EQ(bytes_of(at("target")), "target\n");

    // Once the path is free, norvd writes there again.
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(write_atomically(path, "four\n", placed), "");
    EXPECT_EQ(bytes_of(path), "four\n");
    EXPECT_TRUE(placed.is(lstat_of(path)));

    // norvd's file removed and another made in its place: the other is not
    // norvd's even should the file system give it the same inode number
    // (the held descriptor keeps that number taken).
    ASSERT_EQ(unlink(path.c_str()), 0);
    put(path, "made after\n");
    EXPECT_FALSE(placed.is(lstat_of(path)));
    EXPECT_NE(write_atomically(path, "five\n", placed), "");
    EXPECT_EQ(bytes_of(path), "made after\n");
    EXPECT_EQ(listing(), "norvd.prom target");
}

TEST_F(MetricsFileTest, NothingPlacedReplacesNothing) {
    std::string path = at("norvd.prom");
    put(path, "there before\n");
    PlacedFile none;
    EXPECT_NE(write_atomically(path, "text\n", none), "");
    EXPECT_EQ(bytes_of(path), "there before\n");
    EXPECT_FALSE(none.fd.valid());
    EXPECT_EQ(listing(), "norvd.prom");
}

TEST_F(MetricsFileTest, StartAndStop) {
    std::string path = at("norvd.prom");
    std::string why;
    {
        auto m = MetricsFile::start(path, metrics_text({}), why);
        ASSERT_NE(m, nullptr) << why;
        EXPECT_EQ(bytes_of(path), metrics_text({}));
    }
    EXPECT_FALSE(std::filesystem::exists(path)) << "removed at stop";

    // The file of a norvd that was killed is taken, replaced, and removed.
    put(path, kOurs);
    {
        auto m = MetricsFile::start(path, metrics_text({}), why);
        ASSERT_NE(m, nullptr) << why;
        EXPECT_EQ(bytes_of(path), metrics_text({}));
    }
    EXPECT_FALSE(std::filesystem::exists(path));

    // A file put in its place while norvd runs stays at the stop.
    {
        auto m = MetricsFile::start(path, metrics_text({}), why);
        ASSERT_NE(m, nullptr) << why;
        put(at("theirs"), "theirs\n");
        ASSERT_EQ(rename(at("theirs").c_str(), path.c_str()), 0);
    }
    EXPECT_EQ(bytes_of(path), "theirs\n");

    // And refuses norvd's start, which leaves it as it is.
    why.clear();
    EXPECT_EQ(MetricsFile::start(path, metrics_text({}), why), nullptr);
    EXPECT_NE(why.find("metrics file " + path + " exists and is a file whose first line is not norvd's"),
              std::string::npos)
        << why;
    EXPECT_EQ(bytes_of(path), "theirs\n");
    EXPECT_EQ(listing(), "norvd.prom");
}

}  // namespace
}  // namespace norvd
