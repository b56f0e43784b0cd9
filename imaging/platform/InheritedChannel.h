#pragma once
// A descriptor that dorvix inherited from the program that started it, named by number on the
// command line (a socket, or the write end of a pipe): written whole, read byte by byte, and
// not handed on to programs dorvix starts.

#include <cstdint>
#include <optional>
#include <string_view>

namespace dorvix {

class InheritedChannel {
public:
    // The descriptor `number` when it is open for writing (it is then closed on exec);
    // nothing otherwise.
    static std::optional<InheritedChannel> adopt(std::int64_t number);

    // Whether the peer can answer on it (open for reading too).
    bool readable() const { return m_readable; }
    // Writes all of `data`; a peer that went away fails the write without a signal.
    bool writeAll(std::string_view data) const;
    // Reads one byte; false at the end or on an error.
    bool readByte(char& c) const;

private:
    InheritedChannel(int descriptor, bool readable) : m_descriptor(descriptor), m_readable(readable) {}

    int m_descriptor;
    bool m_readable;
};

}  // namespace dorvix
