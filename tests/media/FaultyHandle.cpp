#include "FaultyHandle.h"

#include <cerrno>

namespace pellorin {

void CFaultyHandle::FailWritesAt(std::uint64_t begin, std::uint64_t end, DWORD error) {
    m_failures.push_back({begin, end, error});
}

void CFaultyHandle::ShortWritesAt(std::uint64_t begin, std::uint64_t end, DWORD limit) {
    m_shortWrites.push_back({begin, end, limit});
}

void CFaultyHandle::SetGeometry(const DISK_GEOMETRY& geometry, LONGLONG diskSize) {
    m_geometry = geometry;
    m_diskSize = diskSize;
}

void CFaultyHandle::FailGeometryFrom(int index, DWORD error) {
    m_failGeometryFrom = index;
    m_geometryError = error;
}

const CFaultyHandle::Range* CFaultyHandle::Overlapping(const std::vector<Range>& ranges,
                                                       std::uint64_t begin, std::uint64_t end) {
    for (const Range& range : ranges) {
        if (begin < range.end && range.begin < end) {
            return &range;
        }
    }
    return nullptr;
}

bool CFaultyHandle::SetPointer(std::uint64_t offset) {
    m_position = offset;
    return m_inner == nullptr || m_inner->SetPointer(offset);
}

bool CFaultyHandle::Write(std::span<const BYTE> data, DWORD& written) {
    written = 0;
    const std::uint64_t end = m_position + data.size();
    if (const Range* failure = Overlapping(m_failures, m_position, end)) {
        errno = static_cast<int>(failure->value);
        return false;
    }
    if (const Range* limit = Overlapping(m_shortWrites, m_position, end)) {
        if (data.size() > limit->value) {
            data = data.first(limit->value);
        }
    }
    if (m_inner != nullptr && !m_inner->Write(data, written)) {
        return false;
    }
    if (m_inner == nullptr) {
        written = static_cast<DWORD>(data.size());
    }
    m_writes.push_back({m_position, written});
    m_position += written;
    return true;
}

bool CFaultyHandle::Read(std::span<BYTE> data, DWORD& read) {
    if (m_inner == nullptr) {
        read = 0;
        return true;
    }
    return m_inner->Read(data, read);
}

bool CFaultyHandle::QueryGeometry(DISK_GEOMETRY& geometry, LONGLONG& diskSize) {
    ++m_queries;
    if (m_failGeometryFrom != 0 && m_queries >= m_failGeometryFrom) {
        errno = static_cast<int>(m_geometryError);
        return false;
    }
    if (m_geometry) {
        geometry = *m_geometry;
        diskSize = m_diskSize;
        return true;
    }
    if (m_inner == nullptr) {
        errno = ENOTTY;
        return false;
    }
    return m_inner->QueryGeometry(geometry, diskSize);
}

}  // namespace pellorin
