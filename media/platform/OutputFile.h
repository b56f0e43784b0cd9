#pragma once
// An output file that appears whole or not at all. It is written as a temporary file in the
// target's folder: an unnamed one (O_TMPFILE) where the file system allows it, so that even a
// killed process leaves nothing behind, else a hidden name next to the target. Commit flushes
// it, gives it the target's name (replacing a file of that name in one rename) and flushes the
// folder; until then nothing outside the temporary file is touched. Destroying an uncommitted
// output removes the temporary file.

#include <functional>
#include <memory>
#include <string>

#include "platform/DriveHandle.h"

namespace pellorin {

class COutputFile {
public:
    // Creates the temporary file for `target`; null with errno set when the folder does not
    // take one.
    static std::unique_ptr<COutputFile> Create(const std::string& target);

    ~COutputFile();
    COutputFile(const COutputFile&) = delete;
    COutputFile& operator=(const COutputFile&) = delete;

    CFileHandle& Handle() { return *m_file; }
    // True when the temporary file has no name (nothing would be left by a killed process).
    bool IsUnnamed() const { return m_tempName.empty(); }

    // fsync, then the target's name, then fsync of the folder; false with errno set, the
    // temporary file still owned (and removed by the destructor). `bGoOn` is asked during the
    // flush and once more before the rename (`bBeginRename` instead of it there, when given);
    // false from it ends the commit with ECANCELED and leaves an existing target as it was.
    bool Commit(const std::function<bool()>& bGoOn = {}, const std::function<bool()>& bBeginRename = {});

private:
    COutputFile(std::unique_ptr<CFileHandle> file, int directory, std::string folder,
                std::string name, std::string tempName);

    std::unique_ptr<CFileHandle> m_file;
    int m_directory;          // the target's folder, open
    std::string m_folder;     // its path, for messages
    std::string m_name;       // the target's last component
    std::string m_tempName;   // the named temporary file, empty for an unnamed one
    bool m_committed = false;
};

}  // namespace pellorin
