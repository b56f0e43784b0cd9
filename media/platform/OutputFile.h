#pragma once
// An output file that appears whole or not at all. It is written as a temporary file in the
// target's folder: an unnamed one (O_TMPFILE) where the file system allows it, so that even a
// killed process leaves nothing behind, else a hidden name next to the target. Commit flushes
// it, gives it the target's name (replacing a file of that name in one rename) and flushes the
// folder; until then nothing outside the temporary file is touched. Destroying an uncommitted
// output removes the temporary file. The hidden name is ".NAME.pellorin-xxxxxx"; one that a
// killed run left in the folder is removed by the next Create there (platform/HiddenTemporary).
//
// The folder is opened once (COutputFolder) and every name is created, renamed and removed
// relative to it, so that a folder swapped for a link meanwhile cannot send a file elsewhere.
// New files get 0666 less the umask.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/DriveHandle.h"
#include "platform/FileFind.h"

namespace pellorin {

class COutputFolder {
public:
    // Opens the folder `path`; null with errno set when it is not an openable folder.
    static std::shared_ptr<COutputFolder> Open(const std::string& path);

    ~COutputFolder();
    COutputFolder(const COutputFolder&) = delete;
    COutputFolder& operator=(const COutputFolder&) = delete;

    // What the folder holds under `name`, the entry itself (a link is not followed); none when
    // the name is free.
    std::optional<FileIdentity> Entry(const std::string& name) const;
    // Removes the file `name`; false with errno set.
    bool Remove(const std::string& name);
    // fsync of the folder: its names are durable once it returns true.
    bool Sync();

private:
    friend class COutputFile;
    explicit COutputFolder(int fd) : m_fd(fd) {}
    int m_fd;
};

class COutputFile {
public:
    // Creates the temporary file for `target`; null with errno set when the folder does not
    // take one.
    static std::unique_ptr<COutputFile> Create(const std::string& target);
    // The same for the file `name` of a folder that is already open.
    static std::unique_ptr<COutputFile> Create(std::shared_ptr<COutputFolder> folder, const std::string& name);

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
    COutputFile(std::unique_ptr<CFileHandle> file, std::shared_ptr<COutputFolder> folder, std::string name,
                std::string tempName);

    std::unique_ptr<CFileHandle> m_file;
    std::shared_ptr<COutputFolder> m_folder;  // the target's folder, open
    std::string m_name;       // the target's last component
    std::string m_tempName;   // the named temporary file, empty for an unnamed one
    bool m_committed = false;
};

}  // namespace pellorin
