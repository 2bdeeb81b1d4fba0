// norvd's command line and configuration file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "config/config_file.h"
#include "config/options.h"

namespace norvd {
namespace {

using namespace std::string_view_literals;

TEST(Options, CommandLine) {
    struct Case {
        std::vector<const char *> args;
        const char *error;  // "" when accepted
    } cases[] = {
        {{}, ""},
        {{"--id", "4", "--peer", "0=10.0.0.1", "--peer", "2=host.example", "--quiet"}, ""},
        {{"--clock-offset", "-2500", "--clock-drift", "12.5"}, ""},
        {{"--id", "5"}, "--id needs"},
        {{"--id"}, "--id needs"},
        {{"--id", "x"}, "--id needs"},
        {{"--peer", "1"}, "--peer needs"},
        {{"--peer", "7=h"}, "--peer needs"},
        {{"--peer", "1="}, "--peer needs"},
        {{"--peer", "0=h"}, "machine 0 is named twice"},
        {{"--peer", "2=a", "--peer", "2=b"}, "machine 2 is named twice"},
        {{"--clock-drift", "fast"}, "--clock-drift needs"},
        {{"--clock-offset", "1e3"}, "--clock-offset needs"},
        {{"--group", "norv"}, ""},
        {{"--group"}, "--group needs"},
        {{"--group", ""}, "--group needs"},
        {{"--key-file"}, "--key-file needs"},
        {{"--key-file", ""}, "--key-file needs"},
        {{"--gen-key"}, "--gen-key needs"},
        {{"--bogus"}, "unknown argument '--bogus'"},
        {{"--log-level", "debug"}, ""},
        {{"--log-level"}, "--log-level needs error, warning, info or debug"},
        {{"--log-level", "warn"}, "--log-level needs"},
        {{"--log-level", "Info"}, "--log-level needs"},
        {{"--device-path", "fuse"}, ""},
        {{"--device-path", "pty"}, ""},
        {{"--device-path", "tty"}, "--device-path needs pty or fuse"},
        {{"--device-path"}, "--device-path needs pty or fuse"},
        {{"--id=3", "--peer=0=h"}, ""},
        {{"--peer", "1=::1"}, "peer ::1: IPv6 is not supported"},
        {{"--peer", "1=[fe80::1]"}, "IPv6 is not supported"},
        {{"--bogus=1"}, "unknown argument '--bogus=1'"},
        {{"-x"}, "unknown argument '-x'"},
        {{"--id", "1", "stray"}, "unknown argument 'stray'"},
        {{"--help"}, ""},
        {{"--version"}, ""},
        {{"-f"}, "-f (--config) needs a path"},
        {{"--config", ""}, "-f (--config) needs a path"},
        {{"-f", "/etc/norv/a.conf"}, ""},
        {{"--realtime-priority", "1"}, ""},
        {{"--realtime-priority", "99"}, ""},
        {{"--realtime-priority", "0"}, "--realtime-priority needs a priority from 1 to 99"},
        {{"--realtime-priority", "100"}, "--realtime-priority needs"},
        {{"--realtime-priority", "5x"}, "--realtime-priority needs"},
        {{"--realtime-priority", ""}, "--realtime-priority needs"},
    };
    for (const Case &c : cases) {
        std::vector<char *> argv{const_cast<char *>("norvd")};
        for (const char *a : c.args) argv.push_back(const_cast<char *>(a));
        Options opts;
        std::string err = parse_options(static_cast<int>(argv.size()), argv.data(), opts);
        // The access group is checked once the configuration file (here none) is in.
        if (err.empty()) err = merge_config(ConfigFile{}, opts);
        if (*c.error == '\0') {
            EXPECT_EQ(err, "") << c.args.size();
        } else {
            EXPECT_NE(err.find(c.error), std::string::npos) << err;
        }
    }
    std::vector<const char *> args = {"norvd", "--id", "4", "--peer", "0=10.0.0.1",
                                      "--clock-offset", "-2500", "--clock-drift", "12.5",
                                      "--group", "timing", "--key-file", "/etc/norv/group.key"};
    Options opts;
    ASSERT_EQ(parse_options(static_cast<int>(args.size()), const_cast<char **>(args.data()), opts), "");
    EXPECT_EQ(opts.id, 4);
    ASSERT_EQ(opts.peers.size(), 1u);
    EXPECT_EQ(opts.peers[0].first, 0);
    EXPECT_EQ(opts.peers[0].second, "10.0.0.1");
    EXPECT_EQ(opts.clockOffset, -2500);
    EXPECT_DOUBLE_EQ(opts.clockDrift, 12.5);
    EXPECT_EQ(opts.accessGroup, "timing");
    EXPECT_EQ(opts.keyFile, "/etc/norv/group.key");
    EXPECT_EQ(opts.genKey, "");
    EXPECT_EQ(group_mask(opts), 0x11);
    EXPECT_EQ(opts.logLevel, Severity::kInfo);
    EXPECT_EQ(opts.config, "/etc/norv/norvd.conf");
    EXPECT_FALSE(opts.configGiven);

    // --quiet is --log-level warning; the last of them counts.
    struct Level {
        std::vector<const char *> args;
        Severity level;
    } levels[] = {
        {{"--quiet"}, Severity::kWarning},
        {{"--log-level", "error"}, Severity::kError},
        {{"--log-level", "warning"}, Severity::kWarning},
        {{"--log-level", "info"}, Severity::kInfo},
        {{"--log-level", "debug"}, Severity::kDebug},
        {{"--quiet", "--log-level", "debug"}, Severity::kDebug},
        {{"--log-level", "error", "--quiet"}, Severity::kWarning},
    };
    for (const Level &l : levels) {
        std::vector<char *> argv{const_cast<char *>("norvd")};
        for (const char *a : l.args) argv.push_back(const_cast<char *>(a));
        Options o;
        ASSERT_EQ(parse_options(static_cast<int>(argv.size()), argv.data(), o), "");
        EXPECT_EQ(o.logLevel, l.level) << l.args.back();
    }
}

// The configuration file: each row a file's text and the error it gives
// ("" when accepted), then what the command line makes of it.
TEST(Options, ConfigFile) {
    const std::string path = "/etc/norv/norvd.conf";
    struct Case {
        std::string_view text;  // may hold a NUL
        const char *error;
    } cases[] = {
        {"", ""},
        {"\n\n   \n# a comment\n\t# another\n", ""},
        {"id 2\npeer 0 10.0.0.1\npeer 1 host.example\nbind 10.0.0.3\ngroup timing\n"
         "key-file /etc/norv/group.key\nlog-level debug\n", ""},
        {"  id   2  \r\n", ""},
        {"id 2", ""},  // no newline at the end
        {"id 2\nbogus 1\n", ":2: unknown setting 'bogus'"},
        {"ID 2\n", ":1: unknown setting 'ID'"},
        {"\n\nid\n", ":3: id needs one value, not 0"},
        {"id 1 2\n", ":1: id needs one value, not 2"},
        {"peer 1\n", ":1: peer needs two values (ID HOST), not 1"},
        {"peer 1 a b\n", ":1: peer needs two values (ID HOST), not 3"},
        {"id 5\n", ":1: id needs a machine id from 0 to 4"},
        {"id -1\n", ":1: id needs a machine id from 0 to 4"},
        {"peer x h\n", ":1: peer needs a machine id from 0 to 4"},
        {"peer 1 ::1\n", ":1: peer ::1: IPv6 is not supported"},
        {"log-level loud\n", ":1: log-level needs error, warning, info or debug"},
        {"device-path fuse\n", ""},
        {"device-path FUSE\n", ":1: device-path needs pty or fuse"},
        {"device-path pty\ndevice-path fuse\n", ":2: device-path is set twice"},
        {"id 1\nid 1\n", ":2: id is set twice"},
        {"realtime-priority 50\n", ""},
        {"realtime-priority 0\n", ":1: realtime-priority needs a priority from 1 to 99"},
        {"realtime-priority 1\nrealtime-priority 2\n", ":2: realtime-priority is set twice"},
        {"bind a\nbind b\n", ":2: bind is set twice"},
        {"group a\n# x\ngroup b\n", ":3: group is set twice"},
        {"peer 1 a\npeer 2 b\npeer 1 c\n", ":3: machine 1 is named twice in this file"},
        {"peer 3 a\nid 3\n", ":2: machine 3 is named twice in this file"},
        {"id 3\npeer 3 a\n", ":2: machine 3 is named twice in this file"},
        {"peer 0 a\n", ""},  // the id may come from the command line
        {"id 1 # a comment after a value is a word\n", ":1: id needs one value, not 10"},
        // The C library would read "1" and stop: the rest must not vanish.
        {"id 1\0junk\n"sv, ":1: a NUL byte: a configuration file is text"},
        {"id 1\n# a comment\0\n"sv, ":2: a NUL byte: a configuration file is text"},
        {"id 1\n\0"sv, ":2: a NUL byte: a configuration file is text"},
    };
    for (const Case &c : cases) {
        ConfigFile file;
        std::string err = parse_config(c.text, path, file);
        if (*c.error == '\0')
            EXPECT_EQ(err, "") << c.text;
        else
            EXPECT_EQ(err, path + c.error) << c.text;
    }

    ConfigFile file;
    ASSERT_EQ(parse_config("id 2\npeer 0 10.0.0.1\npeer 1 host.example\nbind 10.0.0.3\ngroup timing\n"
                           "key-file /k\nlog-level debug\n", path, file), "");
    // The command line overrides the file, setting by setting; its peers
    // replace the file's as a whole.
    struct Merge {
        std::vector<const char *> args;
        uint8_t id;
        Peers peers;
        std::string bind, accessGroup, keyFile;
        Severity level;
        const char *error;
    } merges[] = {
        {{}, 2, {{0, "10.0.0.1"}, {1, "host.example"}}, "10.0.0.3", "timing", "/k", Severity::kDebug, ""},
        {{"--id", "3"}, 3, {{0, "10.0.0.1"}, {1, "host.example"}}, "10.0.0.3", "timing", "/k",
         Severity::kDebug, ""},
        {{"--peer", "4=other"}, 2, {{4, "other"}}, "10.0.0.3", "timing", "/k", Severity::kDebug, ""},
        {{"--bind", "1.2.3.4", "--group", "g", "--key-file", "/j", "--quiet"}, 2,
         {{0, "10.0.0.1"}, {1, "host.example"}}, "1.2.3.4", "g", "/j", Severity::kWarning, ""},
        {{"--id", "0"}, 0, {}, "", "", "", Severity::kInfo,
         "machine 0 is named twice (by the command line and /etc/norv/norvd.conf)"},
        {{"--id", "0", "--peer", "1=a"}, 0, {{1, "a"}}, "10.0.0.3", "timing", "/k", Severity::kDebug, ""},
    };
    for (const Merge &m : merges) {
        std::vector<char *> argv{const_cast<char *>("norvd")};
        for (const char *a : m.args) argv.push_back(const_cast<char *>(a));
        Options o;
        ASSERT_EQ(parse_options(static_cast<int>(argv.size()), argv.data(), o), "");
        std::string err = merge_config(file, o);
        EXPECT_EQ(err, m.error);
        if (*m.error != '\0') continue;
        EXPECT_EQ(o.id, m.id);
        EXPECT_EQ(o.peers, m.peers);
        EXPECT_EQ(o.bind, m.bind);
        EXPECT_EQ(o.accessGroup, m.accessGroup);
        EXPECT_EQ(o.keyFile, m.keyFile);
        EXPECT_EQ(o.logLevel, m.level);
    }

    // The device path: the file's unless the command line gives one.
    ConfigFile fuse;
    ASSERT_EQ(parse_config("device-path fuse\n", path, fuse), "");
    for (auto [arg, want] : {std::pair{"", DevicePath::kFuse}, std::pair{"--device-path=pty", DevicePath::kPty}}) {
        std::vector<char *> argv{const_cast<char *>("norvd")};
        if (*arg) argv.push_back(const_cast<char *>(arg));
        Options o;
        ASSERT_EQ(parse_options(static_cast<int>(argv.size()), argv.data(), o), "");
        EXPECT_EQ(o.devicePath, DevicePath::kPty);
        ASSERT_EQ(merge_config(fuse, o), "");
        EXPECT_EQ(o.devicePath, want) << arg;
    }
}

// As root, norvd obeys a configuration file only when root alone can have
// written it and the directory that holds it.
TEST(Options, ConfigPermissions) {
    const std::string file = "/etc/norv/norvd.conf", dir = "/etc/norv";
    struct Case {
        unsigned mode, uid;
        bool directory;
        const char *error;  // "" when obeyed
    } cases[] = {
        {S_IFREG | 0644, 0, false, ""},
        {S_IFREG | 0600, 0, false, ""},
        {S_IFREG | 0444, 0, false, ""},
        {S_IFREG | 0755, 0, false, ""},
        {S_IFREG | 0664, 0, false,
         "/etc/norv/norvd.conf is writable by group or others (mode 0664): run chmod go-w /etc/norv/norvd.conf"},
        {S_IFREG | 0620, 0, false, "is writable by group or others (mode 0620)"},
        {S_IFREG | 0646, 0, false, "is writable by group or others (mode 0646)"},
        {S_IFREG | 0602, 0, false, "is writable by group or others (mode 0602)"},
        {S_IFREG | 0644, 65534, false,
         "/etc/norv/norvd.conf belongs to uid 65534, not root: run chown root /etc/norv/norvd.conf"},
        {S_IFREG | 0400, 1, false, "belongs to uid 1, not root"},
        {S_IFREG | 0666, 1000, false,
         "/etc/norv/norvd.conf belongs to uid 1000, not root and is writable by group or others (mode 0666): "
         "run chown root /etc/norv/norvd.conf; chmod go-w /etc/norv/norvd.conf"},
        {S_IFDIR | 0755, 0, true, ""},
        {S_IFDIR | 0700, 0, true, ""},
        {S_IFDIR | 0775, 0, true,
         "/etc/norv, the directory of /etc/norv/norvd.conf, is writable by group or others (mode 0775): "
         "run chmod go-w /etc/norv"},
        // A sticky folder such as /tmp still lets anyone put a file there.
        {S_IFDIR | 01777, 0, true, "is writable by group or others (mode 1777): run chmod go-w /etc/norv"},
        {S_IFDIR | 0755, 1000, true,
         "/etc/norv, the directory of /etc/norv/norvd.conf, belongs to uid 1000, not root: run chown root /etc/norv"},
    };
    for (const Case &c : cases) {
        std::string err = c.directory ? config_permission_problem(dir, c.mode, c.uid, file)
                                      : config_permission_problem(file, c.mode, c.uid);
        if (*c.error == '\0')
            EXPECT_EQ(err, "") << std::oct << c.mode << " uid " << std::dec << c.uid;
        else
            EXPECT_NE(err.find(c.error), std::string::npos) << err;
    }

    // The directory that is checked is that of the path as it is written.
    struct Split {
        const char *path, *directory, *name;
    } splits[] = {
        {"/etc/norv/norvd.conf", "/etc/norv", "norvd.conf"},
        {"norvd.conf", ".", "norvd.conf"},
        {"./norvd.conf", ".", "norvd.conf"},
        {"/norvd.conf", "/", "norvd.conf"},
        {"conf//norvd.conf", "conf", "norvd.conf"},
        {"../norv/", "..", "norv"},
        {"/", "/", "/"},
    };
    for (const Split &s : splits) {
        EXPECT_EQ(config_directory(s.path), s.directory) << s.path;
        EXPECT_EQ(config_name(s.path), s.name) << s.path;
    }
}

}  // namespace
}  // namespace norvd
