// notify.cc: the datagram to the service manager.
#include "io/notify.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "fd.h"
#include "io/log.h"

namespace norvd {

using norv::Fd;

bool notify_address(std::string_view name, sockaddr_un &addr, socklen_t &length) {
    if (name.empty() || (name[0] != '/' && name[0] != '@')) return false;
    // A path needs its terminating NUL inside sun_path; an abstract name
    // does not have one.
    size_t room = sizeof addr.sun_path - (name[0] == '/' ? 1 : 0);
    if (name.size() > room || (name[0] == '@' && name.size() < 2)) return false;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, name.data(), name.size());
    if (name[0] == '@') {
        addr.sun_path[0] = '\0';
        length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    } else {
        length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
    }
    return true;
}

std::string notify_manager(std::string_view state) {
    const char *name = std::getenv("NOTIFY_SOCKET");
    if (name == nullptr) return "";
    sockaddr_un addr;
    socklen_t length;
    if (!notify_address(name, addr, length)) return "NOTIFY_SOCKET is no socket address: " + escape(name);
    Fd sock(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock.valid()) return failed("socket AF_UNIX");
    if (sendto(sock.get(), state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&addr),
               length) < 0)
        return failed(("sendto " + std::string(name)).c_str());
    return "";
}

}  // namespace norvd
