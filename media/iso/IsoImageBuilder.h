#pragma once
// The "&ISO Image" job: writes a bootable CD image whose El Torito boot entry emulates a hard
// disk that follows the 23-sector ISO header directly in the file. The FAT16 writer builds that
// disk from the payload; the job then patches the disk's boot record and enters the image's
// real size into the primary volume descriptor.

#include "fat16/Fat16Disk.h"
#include "iso/IsoJobView.h"
#include "isohdr/IsoRecords.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace pellorin {

// Where the emulated hard disk starts in the ISO file: right behind the ISO header.
inline constexpr DWORD kIsoDiskOffset = isorecords::kHeaderBytes;
// Where our boot record's code chooses its read path (3 bytes, mbr.asm); the job patches it.
inline constexpr std::size_t kMbrReadPathSelector = 0xCA;

// Progress of the FAT16 writer for the ISO job: 0 to go on, 1 to stop. Shows the percentage on
// the view's bar and in string 20, then serves at most one pending message.
int IsoProgress(CIsoJobView& view, DWORD dwTotal, DWORD dwDone);

// The ISO job's disk: a file region whose OnProgress is IsoProgress.
class CIsoImageDisk : public CFat16Disk {
public:
    explicit CIsoImageDisk(CIsoJobView& view) : m_view(view) {}
    BOOL OnProgress(DWORD dwTotal, DWORD dwDone, void* context) override;

private:
    CIsoJobView& m_view;
};

// Runs the job for the ISO file `strTarget` with the payload found in `payloadDirectory`.
// Returns kWorkDone, kWorkCancelled (the file is deleted) or kWorkFailed (string 10 has been
// shown). `tickCount` overrides the volume serial number's source when set (reproducible images).
int BuildIsoImage(const std::string& strTarget, const std::filesystem::path& payloadDirectory,
                  CIsoJobView& view, std::function<DWORD()> tickCount = {});

}  // namespace pellorin
