#pragma once
// The main dialog (102): two texts and the three deployment models as buttons, with the ISO
// save dialog and the folder picker that it creates once and reuses. Under the texts it says
// which payload the jobs will take (the folder and the flash image, or what the folder lacks)
// and offers "Payload folder..." to choose another; the job buttons stay disabled while the
// payload lacks KERNEL.SYS or a flash image.

#include "framework/Framework.h"

#include <QIcon>
#include <QString>

#include <filesystem>
#include <memory>

class QFileDialog;

namespace pellorin {

inline constexpr int IDD_IMAGINGTOOL_DIALOG = 102;
inline constexpr int IDC_USB_FORMAT = 1001;
inline constexpr int IDC_DEPLOYMENT = 1002;
inline constexpr int IDC_ISO_IMAGE = 1007;
// Our own addition: the payload line and the button that chooses another payload folder.
inline constexpr int IDC_PAYLOAD_FOLDER = 1010;
inline constexpr int IDC_PAYLOAD_INFO = 1011;

// The picker of the deployment folder: a folder dialog that opens in the start folder worked
// out from `initialFolder` (its largest existing prefix) and returns the folder the user chose.
class CFolderDialog {
public:
    CFolderDialog(const QString& initialFolder, const QString& title, QWidget* pParent = nullptr);
    ~CFolderDialog();

    int DoModal();
    QString GetFolder() const { return m_strSelected; }
    QString InitialDirectory() const { return m_strInitialDirectory; }

private:
    std::unique_ptr<QFileDialog> m_pDialog;
    QString m_strInitialDirectory;
    QString m_strSelected;
};

class CImagingToolDlg : public CDialog {
    Q_OBJECT
public:
    // `payloadDirectory` holds the files the jobs take (the program's own directory).
    explicit CImagingToolDlg(std::filesystem::path payloadDirectory, QWidget* pParent = nullptr);
    ~CImagingToolDlg() override;

    QString GetIsoPath();
    QString GetDeployFolder();

    const std::filesystem::path& PayloadDirectory() const { return m_payloadDirectory; }
    // Takes `payloadDirectory` as the payload and shows what it holds.
    void SetPayloadDirectory(std::filesystem::path payloadDirectory);

    QFileDialog& IsoSaveDialog() { return *m_pSaveDialog; }
    CFolderDialog& FolderPicker() { return *m_pFolderPicker; }

protected:
    void OnCommand(int nId) override;
    void OnIsoImage();
    void OnUsbFormat();
    void OnDeployment();
    void OnPayloadFolder();

private:
    std::filesystem::path m_payloadDirectory;
    QIcon m_hIcon;
    std::unique_ptr<QFileDialog> m_pSaveDialog;
    std::unique_ptr<CFolderDialog> m_pFolderPicker;
    std::unique_ptr<QFileDialog> m_pPayloadPicker;
};

// The application's icon (resource 128).
QIcon ApplicationIcon();

}  // namespace pellorin
