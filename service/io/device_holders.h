// device_holders.h: which processes hold a device open, and whose they are.
//
// A connection's devices go to the user who connected, when norvd can tell
// who that is without doubt: every process that holds /dev/rtf1 open when
// command 0 is read belongs to one uid. A pty records no opener, so the only
// way to tell is to look through every process's descriptors in /proc. That
// costs time that grows with the processes on the machine; holder_lookup.h
// keeps it off norvd's loop.
//
// A process counts by all four of its uids (real, effective, saved, file
// system): one that runs with several of them counts as several users, since
// it may act as any of them. norvd's own processes (itself, its guard keeper
// and the guards) are left out.
#ifndef NORVD_DEVICE_HOLDERS_H
#define NORVD_DEVICE_HOLDERS_H

#include <sys/types.h>

#include <array>
#include <string>
#include <vector>

namespace norvd {

// The slave side of a pty, as stat() tells it: a descriptor leads to it when
// its target has the same device and inode. `name` is the node's name in its
// devpts ("0" for /dev/pts/0): a descriptor's target in /proc ends with it,
// so that only those few are looked at more closely.
struct DeviceId {
    dev_t dev = 0;
    ino_t ino = 0;
    std::string name;
};

struct Holder {
    pid_t pid = 0;
    pid_t parent = 0;
    std::array<uid_t, 4> uids{};  // real, effective, saved, file system
};

struct HolderScan {
    std::vector<Holder> holders;
    std::string error;  // "" when every process could be looked at
};

// The "PPid:" and "Uid:" lines of a /proc/PID/status text. Returns false when
// either is missing or malformed.
bool parse_status(const std::string &text, pid_t &parent, std::array<uid_t, 4> &uids);

// Every process in the /proc at `proc` that holds `device` open, but the
// processes in `ours` and their children. A process that ends while it is
// looked at is left out; any other failure to look is an error, since a
// holder could hide behind it.
HolderScan find_holders(const std::string &proc, const DeviceId &device,
                        const std::vector<pid_t> &ours);

struct Owner {
    bool known = false;
    uid_t uid = 0;
    std::string name;  // the user's name, when known and the password database has one
    std::string why;  // when not known: why, in a few words naming `device`
};

// Whose the devices of a connection made on `device` are, after `scan`.
Owner decide_owner(const HolderScan &scan, const std::string &device);

}  // namespace norvd

#endif  // NORVD_DEVICE_HOLDERS_H
