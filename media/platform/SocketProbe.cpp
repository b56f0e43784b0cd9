#include "platform/SocketProbe.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace pellorin {

namespace {

// Connects a socket to `address` within about a second; true when the connection stands.
bool connects(int family, const sockaddr* address, socklen_t length) {
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    bool connected = ::connect(fd, address, length) == 0;
    if (!connected && errno == EINPROGRESS) {
        pollfd poller{fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        connected = ::poll(&poller, 1, 1000) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 &&
                    error == 0;
    }
    ::close(fd);
    return connected;
}

}  // namespace

bool UnixSocketAnswers(const std::string& path, bool abstract) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
    return connects(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), length);
}

bool TcpHostAnswers(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) return false;
    bool answered = false;
    for (addrinfo* it = found; it && !answered; it = it->ai_next) answered = connects(it->ai_family, it->ai_addr, it->ai_addrlen);
    ::freeaddrinfo(found);
    return answered;
}

}  // namespace pellorin
