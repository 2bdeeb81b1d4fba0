// The address norvd tells its service manager it is ready on.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "io/notify.h"

namespace norvd {
namespace {

// The address of $NOTIFY_SOCKET, as the manager bound it.
TEST(Notify, Address) {
    const socklen_t head = offsetof(sockaddr_un, sun_path);
    const std::string longest(sizeof(sockaddr_un::sun_path) - 1, 'p');
    struct Case {
        std::string name;
        bool ok;
        std::string path;  // the bytes of sun_path the length covers
    } cases[] = {
        {"/run/systemd/notify", true, std::string("/run/systemd/notify\0", 20)},
        {"@norv/notify", true, std::string("\0norv/notify", 12)},
        {"@", false, ""},
        {"", false, ""},
        {"run/notify", false, ""},
        {"/" + longest.substr(1), true, "/" + longest.substr(1) + std::string(1, '\0')},
        {"/" + longest, false, ""},
        {"@" + longest, true, std::string(1, '\0') + longest},
        {"@p" + longest, false, ""},
    };
    for (const Case &c : cases) {
        sockaddr_un addr;
        std::memset(&addr, 0x55, sizeof addr);
        socklen_t length = 0;
        ASSERT_EQ(notify_address(c.name, addr, length), c.ok) << c.name;
        if (!c.ok) continue;
        EXPECT_EQ(addr.sun_family, AF_UNIX);
        ASSERT_EQ(length, head + c.path.size()) << c.name;
        EXPECT_EQ(std::string(addr.sun_path, c.path.size()), c.path) << c.name;
    }
}

}  // namespace
}  // namespace norvd
