#pragma once
// Directory, file and path classes with the desktop's path rules: a directory is a
// drive ("C:") and a subdirectory ("\TEMP\SUB", upper-cased), a file name is lower-cased and at
// most 255 characters, and each part refuses the characters its kind of name may not hold.
// The folder picker works out its start folder with them (the largest existing prefix of a
// directory). The file system is reached through CPathSystem, so the rules are tested on a
// made-up drive; on Linux the picker uses FolderStart instead, which keeps the file system's
// spelling.

#include <functional>
#include <string>
#include <string_view>

#include "platform/WinTypes.h"

namespace pellorin {

// What the path classes ask of the file system.
struct CPathSystem {
    // The process's current directory, "C:\WORK" (empty when it cannot be read).
    std::function<std::string()> currentDirectory;
    // True when the path names an existing directory.
    std::function<bool(const std::string&)> isDirectory;
};

// Makes `path` absolute with the desktop's rules against the current directory `current`:
// a drive-relative or relative path is completed, "." and ".." are resolved, separators become
// backslashes. FALSE for a result of 260 characters or more.
BOOL FullPath(const std::string& path, const std::string& current, std::string& full);

class COXDirSpec {
public:
    BOOL SetDrive(std::string_view text);
    BOOL SetSubdirectory(std::string_view text);
    BOOL SetDirectory(std::string_view text);
    std::string GetDrive() const { return m_sDrive; }
    std::string GetSubdirectory() const { return m_sSubdirectory; }
    std::string GetDirectory() const { return m_sDrive + m_sSubdirectory; }

    BOOL SetToCurrentDirectory(const CPathSystem& system);
    BOOL Exists(const CPathSystem& system) const;
    // Makes the directory absolute and, when it does not exist, reduces it to its longest
    // existing prefix (at least the drive's root).
    BOOL ReduceToLargestExisting(const CPathSystem& system);

private:
    std::string m_sDrive;
    std::string m_sSubdirectory;
};

class COXFileSpec {
public:
    COXFileSpec() = default;
    explicit COXFileSpec(std::string_view name) { SetFileName(name); }

    BOOL SetFileName(std::string_view text);
    BOOL SetBaseName(std::string_view text);
    BOOL SetExtension(std::string_view text);
    std::string GetFileName() const { return m_sFileName; }
    std::string GetBaseName() const;
    std::string GetExtension() const;

private:
    std::string m_sFileName;
};

class COXPathSpec : public COXDirSpec, public COXFileSpec {
public:
    std::string GetPath() const;
    BOOL SetPath(std::string_view text);
    BOOL MakeFullPath(const CPathSystem& system);
};

// The folder picker's start folder with the desktop's rules: empty or refused text, or an
// empty directory -> the current directory; a network path ("\\server\share") -> itself when
// `canConnect` reaches it, else its server part when that is reached, else as any other path;
// any other path -> its largest existing prefix, upper-cased.
std::string ResolveStartFolderWindows(std::string_view text, const CPathSystem& system,
                                      const std::function<bool(const std::string&)>& canConnect = {});

}  // namespace pellorin
