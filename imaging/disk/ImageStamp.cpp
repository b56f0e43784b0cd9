#include "disk/ImageStamp.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace dorvix {

namespace {

char fold(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string_view asText(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

std::optional<std::size_t> findNoCase(std::string_view text, std::string_view key) {
    text = text.substr(0, std::min(text.find('\0'), text.size()));
    if (key.empty() || key.size() > text.size()) {
        return key.empty() ? std::optional<std::size_t>(0) : std::nullopt;
    }
    for (std::size_t start = 0; start + key.size() <= text.size(); ++start) {
        std::size_t k = 0;
        while (k < key.size() && fold(text[start + k]) == fold(key[k])) {
            ++k;
        }
        if (k == key.size()) {
            return start;
        }
    }
    return std::nullopt;
}

bool parseModDate(std::span<const std::uint8_t> head, SystemTime& date) {
    const auto at = findNoCase(asText(head), kStampKey);
    if (!at) {
        return false;
    }
    // sscanf needs a terminated copy of what follows the key.
    const std::size_t from = *at + kStampKey.size();
    const std::string value(asText(head.subspan(from)));
    unsigned short month = 0, day = 0, year = 0, hour = 0, minute = 0;
    const int fields = std::sscanf(value.c_str(), "%02hu/%02hu/%04hu %02hu:%02hu", &month, &day, &year, &hour, &minute);
    if (fields >= 1) date.month = month;
    if (fields >= 2) date.day = day;
    if (fields >= 3) date.year = year;
    if (fields >= 4) date.hour = hour;
    if (fields >= 5) date.minute = minute;
    if (fields != 5) {
        return false;
    }
    date.second = 0;
    return true;
}

bool applyModDate(std::span<std::uint8_t> head, const SystemTime& date) {
    const auto at = findNoCase(asText(head), kStampKey);
    if (!at) {
        return false;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d", date.month, date.day, date.year, date.hour,
                  date.minute);
    const std::size_t from = *at + kStampKey.size();
    for (std::size_t i = 0; i < kStampValueChars && from + i < head.size(); ++i) {
        head[from + i] = static_cast<std::uint8_t>(text[i]);
    }
    return true;
}

std::vector<std::uint8_t> withModDate(std::span<const std::uint8_t> text, const SystemTime& date) {
    std::vector<std::uint8_t> out(text.begin(), text.end());
    const std::string_view line = kStampKey.substr(1);  // "ModDate=" at the very start, too
    std::size_t from = 0;
    if (const auto first = findNoCase(asText(text).substr(0, line.size()), line); first && *first == 0) {
        from = line.size();
    } else if (const auto at = findNoCase(asText(text), kStampKey)) {
        from = *at + kStampKey.size();
    } else {
        return out;
    }
    std::size_t to = from;
    while (to < text.size() && text[to] != '\r' && text[to] != '\n' && text[to] != 0) {
        ++to;
    }
    char value[64];
    const int length = std::snprintf(value, sizeof value, "%02d/%02d/%04d %02d:%02d", date.month, date.day,
                                     date.year, date.hour, date.minute);
    out.erase(out.begin() + static_cast<std::ptrdiff_t>(from), out.begin() + static_cast<std::ptrdiff_t>(to));
    out.insert(out.begin() + static_cast<std::ptrdiff_t>(from), value, value + std::max(length, 0));
    return out;
}

}  // namespace dorvix
