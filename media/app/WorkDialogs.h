#pragma once
// The three work dialogs: "Extracting Files" (132) runs the deployment job, "Creating ISO
// Image" (131) the ISO job, and "Format USB Drive" (130) is the frame that the USB job fills.

#include "app/WorkDialog.h"
#include "usb/UsbFormat.h"

#include <filesystem>
#include <string>

class QListWidget;

namespace pellorin {

inline constexpr int IDD_FORMATUSB_DIALOG = 130;
inline constexpr int IDD_CREATEISO_DIALOG = 131;
inline constexpr int IDD_EXTRACTFILES_DIALOG = 132;
inline constexpr int IDC_UPDATE_DRIVES = 1000;
inline constexpr int IDC_DRIVE_LIST = 1008;

// Copies the deployment files into `strTarget`.
class CExtractFilesDlg : public CWorkDialog {
    Q_OBJECT
public:
    CExtractFilesDlg(std::string strTarget, std::filesystem::path payloadDirectory, QWidget* pParent = nullptr);

protected:
    int RunJob() override;

private:
    std::string m_strTarget;
    std::filesystem::path m_payloadDirectory;
};

// Writes the ISO image `strTarget`; shows "Calculating header information..." until the
// writer's first progress step.
class CCreateIsoDlg : public CWorkDialog {
    Q_OBJECT
public:
    CCreateIsoDlg(std::string strTarget, std::filesystem::path payloadDirectory, QWidget* pParent = nullptr);

protected:
    int RunJob() override;

private:
    std::string m_strTarget;
    std::filesystem::path m_payloadDirectory;
};

// The format dialog's frame: the drive list, "&Update Drives", "&Format" and Cancel. Cancel asks
// question 15 only while the USB job writes; before "&Format" it closes at once.
class CFormatUsbDlg : public CDialog {
    Q_OBJECT
public:
    explicit CFormatUsbDlg(QWidget* pParent = nullptr);

    QListWidget* DriveList() const;

protected:
    void OnOK() override { OnFormat(); }  // "&Format", and Enter
    void OnCancel() override;
    void OnCommand(int nId) override;
    virtual void OnFormat() {}
    virtual void OnUpdateDrives() {}
};

}  // namespace pellorin
