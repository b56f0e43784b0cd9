#include "platform/InheritedChannel.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dorvix {

std::optional<InheritedChannel> InheritedChannel::adopt(std::int64_t number) {
    const int flags = number >= 0 && number <= INT_MAX ? ::fcntl(static_cast<int>(number), F_GETFL) : -1;
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
        return std::nullopt;
    }
    const int descriptor = static_cast<int>(number);
    // The reset command and anything else dorvix starts must not hold the peer's channel open.
    ::fcntl(descriptor, F_SETFD, ::fcntl(descriptor, F_GETFD) | FD_CLOEXEC);
    return InheritedChannel(descriptor, (flags & O_ACCMODE) == O_RDWR);
}

// Sockets are written with MSG_NOSIGNAL, pipes with SIGPIPE blocked (a signal left pending by
// the write is taken back).
bool InheritedChannel::writeAll(std::string_view data) const {
    struct stat st {};
    const bool socket = ::fstat(m_descriptor, &st) == 0 && S_ISSOCK(st.st_mode);
    sigset_t pipeSignal, previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    if (!socket) {
        pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    }
    bool ok = true;
    while (!data.empty()) {
        const ssize_t n = socket ? ::send(m_descriptor, data.data(), data.size(), MSG_NOSIGNAL)
                                 : ::write(m_descriptor, data.data(), data.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = false;
            break;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    if (!socket) {
        if (!ok && errno == EPIPE) {
            const timespec none{0, 0};
            while (sigtimedwait(&pipeSignal, nullptr, &none) == SIGPIPE) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    return ok;
}

bool InheritedChannel::readByte(char& c) const {
    for (;;) {
        const ssize_t n = ::read(m_descriptor, &c, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n == 1;
    }
}

}  // namespace dorvix
