// notify.h: telling the service manager how norvd is doing.
//
// A manager that wants to know (systemd with Type=notify) names a datagram
// socket in $NOTIFY_SOCKET; norvd sends it one datagram per change of state:
// "READY=1" once /dev/rtf1 serves, "RELOADING=1" and "READY=1" around a
// reload, "STOPPING=1" when it stops. Without $NOTIFY_SOCKET nothing is sent.
#ifndef NORVD_NOTIFY_H
#define NORVD_NOTIFY_H

#include <sys/socket.h>
#include <sys/un.h>

#include <string>
#include <string_view>

namespace norvd {

// The address that `name` ($NOTIFY_SOCKET) stands for: an absolute path, or
// an abstract name when it starts with '@' (the '@' becomes the leading NUL
// byte of sun_path, and the length counts exactly the name's bytes, since an
// abstract name may hold any byte, NUL as well). Returns false for an empty
// name, a relative path or one that does not fit.
bool notify_address(std::string_view name, sockaddr_un &addr, socklen_t &length);

// Sends `state` to the socket of $NOTIFY_SOCKET, when it is set. Returns ""
// or what failed.
std::string notify_manager(std::string_view state);

}  // namespace norvd

#endif  // NORVD_NOTIFY_H
