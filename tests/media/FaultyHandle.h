#pragma once
// A handle for tests of the writers: wraps another handle, logs every write, and fails the
// writes, reads or geometry queries it is told to, the way a failing drive would (errno set,
// nothing written). It can also stand for a drive with a chosen geometry and size.

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/DriveHandle.h"

namespace pellorin {

class CFaultyHandle : public CDriveHandle {
public:
    explicit CFaultyHandle(CDriveHandle* inner) : m_inner(inner) {}

    // Writes that touch bytes [begin, end) fail with `error` and write nothing.
    void FailWritesAt(std::uint64_t begin, std::uint64_t end, DWORD error);
    // Writes succeed but stop after `limit` bytes (a short write).
    void ShortWritesAt(std::uint64_t begin, std::uint64_t end, DWORD limit);
    // Answers geometry queries as a drive of this geometry and size would.
    void SetGeometry(const DISK_GEOMETRY& geometry, LONGLONG diskSize);
    // The query number `index` (1-based) and all after it fail with `error`.
    void FailGeometryFrom(int index, DWORD error);

    struct WriteRecord {
        std::uint64_t offset;
        std::size_t size;
    };
    const std::vector<WriteRecord>& Writes() const { return m_writes; }

    bool SetPointer(std::uint64_t offset) override;
    bool Write(std::span<const BYTE> data, DWORD& written) override;
    bool Read(std::span<BYTE> data, DWORD& read) override;
    bool QueryGeometry(DISK_GEOMETRY& geometry, LONGLONG& diskSize) override;

private:
    struct Range {
        std::uint64_t begin;
        std::uint64_t end;
        DWORD value;
    };
    static const Range* Overlapping(const std::vector<Range>& ranges, std::uint64_t begin,
                                    std::uint64_t end);

    CDriveHandle* m_inner;
    std::uint64_t m_position = 0;
    std::vector<Range> m_failures;
    std::vector<Range> m_shortWrites;
    std::optional<DISK_GEOMETRY> m_geometry;
    LONGLONG m_diskSize = 0;
    int m_queries = 0;
    int m_failGeometryFrom = 0;
    DWORD m_geometryError = 0;
    std::vector<WriteRecord> m_writes;
};

}  // namespace pellorin
