#pragma once
// Whether a display server answers: a stream socket is connected and closed again, within
// about a second, and nothing is sent.

#include <string>

namespace pellorin {

// A local socket at `path`, or in the abstract namespace under that name.
bool UnixSocketAnswers(const std::string& path, bool abstract);

// TCP `port` on `host` (a name or an address), at any of its addresses.
bool TcpHostAnswers(const std::string& host, int port);

}  // namespace pellorin
