#include "front/ProgressChannel.h"

#include "front/StringTable.h"
#include "platform/Console.h"
#include "platform/DebugOutput.h"
#include "platform/InheritedChannel.h"

#include <cstdio>

namespace dorvix {

namespace {

// Length of the well-formed UTF-8 sequence at text[i], or 0 when the bytes there are not one.
std::size_t utf8SequenceLength(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // range of the first continuation byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high) {
        return 0;
    }
    for (std::size_t k = 2; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

void appendHexEscape(std::string& out, unsigned char c) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    out += hex;
}

}  // namespace

std::string escapeChannelText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            if (const std::size_t length = utf8SequenceLength(text, i)) {
                out.append(text.substr(i, length));
                i += length;
            } else {
                appendHexEscape(out, c);
                ++i;
            }
            continue;
        }
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                appendHexEscape(out, c);
            } else {
                out += static_cast<char>(c);
            }
        }
        ++i;
    }
    return out;
}

std::unique_ptr<ProgressChannel> ProgressChannel::attach(std::int64_t number) {
    std::optional<InheritedChannel> peer = InheritedChannel::adopt(number);
    if (!peer) {
        char line[160];
        std::snprintf(line, sizeof line, text::kChannelNotOpen, static_cast<long long>(number));
        debugOutput(line);
        return nullptr;
    }
    std::unique_ptr<ProgressChannel> channel(new ProgressChannel(*peer));
    if (!channel->writeLine(kProgressChannelVersion)) {
        return nullptr;
    }
    return channel;
}

void ProgressChannel::breakOff() {
    if (!m_broken) {
        m_broken = true;
        debugOutput(text::kChannelBroken);
    }
}

bool ProgressChannel::writeLine(std::string line) {
    if (m_broken) {
        return false;
    }
    line += '\n';
    if (!m_peer.writeAll(line)) {
        breakOff();
        return false;
    }
    return true;
}

bool ProgressChannel::readLine() {
    for (;;) {
        char c = 0;
        if (!m_peer.readByte(c)) {
            breakOff();
            return false;
        }
        if (c == '\n') {
            return true;
        }
    }
}

void ProgressChannel::sendMessage(ProgressMessage message, unsigned wParam, std::string_view text) {
    switch (message) {
    case UM_PROGRESS:
        if (!writeLine("progress " + std::to_string(wParam))) {
            char line[32];
            std::snprintf(line, sizeof line, text::kPercentCompleted, static_cast<int>(wParam));
            consoleWrite(line);
        }
        return;
    case UM_STATUSTEXT:
        if (!writeLine("status " + escapeChannelText(text))) {
            consoleWrite(text);
        }
        return;
    case UM_HEADINGTEXT:
        writeLine("heading " + escapeChannelText(text));
        return;
    case UM_CLOSEPROGRESS:
        writeLine("close");
        return;
    }
}

MessageBoxResult ProgressChannel::messageBox(std::string_view text, std::string_view, MessageBoxButtons,
                                             MessageBoxIcon) {
    // The peer has seen the error once it answers; a peer that goes away first may not have.
    if (!writeLine("error " + escapeChannelText(text)) || (m_peer.readable() && !readLine())) {
        consoleWrite(text);
    }
    return MessageBoxResult::Ok;
}

}  // namespace dorvix
