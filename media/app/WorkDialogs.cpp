#include "app/WorkDialogs.h"

#include "iso/IsoImageBuilder.h"
#include "jobs/DeploymentJob.h"
#include "jobs/StringTable.h"

#include <QListWidget>
#include <QPushButton>

#include <utility>

namespace pellorin {

namespace {

// The job views over a work dialog, used on the worker thread.
class CDialogDeploymentView : public CDeploymentView {
public:
    explicit CDialogDeploymentView(CWorkDialog& dialog) : m_dialog(dialog) {}
    void SetProgressRange(int nLower, int nUpper) override { m_dialog.PostProgressRange(nLower, nUpper); }
    void SetProgressPos(int nPos) override { m_dialog.PostProgressPos(nPos); }
    void SetStatusText(std::string_view text) override { m_dialog.PostStatus(text); }
    void ShowWarning(std::string_view text) override { m_dialog.AskBlocking(text, MB_OK | MB_ICONWARNING); }
    int AskQuestion(std::string_view text) override {
        switch (m_dialog.AskBlocking(text, MB_YESNOCANCEL | MB_ICONQUESTION)) {
        case IDYES: return kAnswerYes;
        case IDNO: return kAnswerNo;
        default: return kAnswerCancel;
        }
    }
    void PumpOneMessage() override { m_dialog.WaitAtStep(); }

private:
    CWorkDialog& m_dialog;
};

// The ISO job keeps its own busy flag, which only its thread touches: a cancel confirmed in the
// dialog reaches it at the job's next progress step.
// The writer reports every cluster; only changes are posted, so the interface thread's queue
// holds at most one event per percent.
class CDialogIsoView : public CIsoJobView {
public:
    explicit CDialogIsoView(CWorkDialog& dialog) : m_dialog(dialog) {}
    void SetProgressRange(int nLower, int nUpper) override { m_dialog.PostProgressRange(nLower, nUpper); }
    void SetProgressPos(int nPos) override {
        if (nPos == m_nLastPos) return;
        m_nLastPos = nPos;
        m_dialog.PostProgressPos(nPos);
    }
    void SetStatusText(std::string_view text) override {
        if (text == m_strLastStatus) return;
        m_strLastStatus = text;
        m_dialog.PostStatus(text);
    }
    void ShowWarning(std::string_view text) override { m_dialog.AskBlocking(text, MB_OK | MB_ICONWARNING); }
    void PumpOneMessage() override {
        if (!m_dialog.WaitAtStep()) g_bIsoBusy = false;
    }

private:
    CWorkDialog& m_dialog;
    int m_nLastPos = -1;
    std::string m_strLastStatus;
};

}  // namespace

CExtractFilesDlg::CExtractFilesDlg(std::string strTarget, std::filesystem::path payloadDirectory, QWidget* pParent)
    : CWorkDialog(IDD_EXTRACTFILES_DIALOG, "Extracting Files", 213, 46, IDS_CONFIRM_CANCEL_EXTRACT, pParent),
      m_strTarget(std::move(strTarget)),
      m_payloadDirectory(std::move(payloadDirectory)) {
    AddButton(IDCANCEL, "Cancel", {156, 7, 50, 14});
    AddProgress(IDC_PROGRESS, {7, 25, 200, 14});
    AddStatic(IDC_STATUS, "", {8, 12, 144, 8});
}

int CExtractFilesDlg::RunJob() {
    CDialogDeploymentView view(*this);
    return CopyDeploymentFiles(m_strTarget, m_payloadDirectory, view, BusyFlag());
}

CCreateIsoDlg::CCreateIsoDlg(std::string strTarget, std::filesystem::path payloadDirectory, QWidget* pParent)
    : CWorkDialog(IDD_CREATEISO_DIALOG, "Creating ISO Image", 213, 46, IDS_CONFIRM_CANCEL_ISO, pParent),
      m_strTarget(std::move(strTarget)),
      m_payloadDirectory(std::move(payloadDirectory)) {
    AddButton(IDCANCEL, "Cancel", {156, 8, 50, 14});
    AddProgress(IDC_PROGRESS, {7, 27, 199, 14});
    AddStatic(IDC_STATUS, LoadStringText(IDS_CALCULATING_HEADER), {8, 12, 144, 8});
}

int CCreateIsoDlg::RunJob() {
    CDialogIsoView view(*this);
    return BuildIsoImage(m_strTarget, m_payloadDirectory, view);
}

CFormatUsbDlg::CFormatUsbDlg(QWidget* pParent) : CDialog(IDD_FORMATUSB_DIALOG, "Format USB Drive", 213, 76, pParent) {
    AddGroupBox(-1, "Select USB drive:", {7, 7, 140, 33});
    AddButton(IDOK, "&Format", {156, 7, 50, 14}, true);
    AddButton(IDCANCEL, "Cancel", {156, 24, 50, 14});
    AddProgress(IDC_PROGRESS, {7, 55, 199, 14});
    AddButton(IDC_UPDATE_DRIVES, "&Update Drives", {15, 20, 60, 12});
    AddListBox(IDC_DRIVE_LIST, {79, 20, 60, 12});
    AddStatic(IDC_STATUS, "", {7, 43, 171, 8});
}

QListWidget* CFormatUsbDlg::DriveList() const { return GetDlgItem<QListWidget>(IDC_DRIVE_LIST); }

void CFormatUsbDlg::OnCancel() {
    if (g_bFormatBusy) {
        if (AfxMessageBox(this, LoadStringText(IDS_CONFIRM_CANCEL_FORMAT), MB_YESNO | MB_ICONQUESTION) != IDYES) return;
        g_bFormatBusy = false;
        if (auto* label = GetDlgItem(IDC_STATUS)) label->setProperty("text", QString());
    }
    EndDialog(IDCANCEL);
}

void CFormatUsbDlg::OnCommand(int nId) {
    if (nId == IDC_UPDATE_DRIVES) OnUpdateDrives();
}

}  // namespace pellorin
