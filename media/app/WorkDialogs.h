#pragma once
// The three work dialogs: "Extracting Files" (132) runs the deployment job, "Creating ISO
// Image" (131) the ISO job, and "Format USB Drive" (130) is the frame that the USB job fills.

#include "app/WorkDialog.h"
#include "usb/UsbFormat.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>

class QListWidget;
class QThread;

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

// The job a format dialog runs: FormatUsbDrive over the system, or a stand-in in tests. Called
// on a worker thread; returns a WorkResult.
using UsbFormatWorker = std::function<int(const UsbFormatRequest& request, CIsoJobView& view)>;

// "Format USB Drive": the drive list (one row; the entry shown is the chosen disk),
// "&Update Drives", "&Format" and Cancel. "&Format" checks the shown disk (string 2: not a local
// disk the kernel lists; string 1: not a USB disk of type 0, or a disk of the running system),
// asks string 27, then runs the job on a worker thread with both buttons disabled; success shows
// string 5 and ends with IDOK, every other outcome ends with IDCANCEL. Cancel asks question 15
// while the job runs, until its read-back begins; before "&Format" it closes at once.
class CFormatUsbDlg : public CDialog {
    Q_OBJECT
public:
    explicit CFormatUsbDlg(QWidget* pParent = nullptr);
    CFormatUsbDlg(SystemViews views, std::filesystem::path payloadDirectory, UsbFormatWorker worker,
                  QWidget* pParent = nullptr);
    ~CFormatUsbDlg() override;

    QListWidget* DriveList() const;
    // The device path of the entry shown in the list's row; empty when the list is empty.
    std::string ChosenDevice() const;
    bool JobRunning() const { return m_bRunning; }
    // Reads the disks again and refills the list when a disk came or went (the dialog's timer
    // calls it every kDriveRefreshMs).
    void RefreshIfChanged();
    static constexpr int kDriveRefreshMs = 2000;

    // Where the disk cannot be written for lack of rights (`needsElevation`), "&Format" offers
    // to run the job through `launcher` (pkexec) as `program` (pellorin) instead. The
    // application sets this up when polkit is installed; an empty launcher offers nothing.
    void SetElevation(std::function<bool(const std::string&)> needsElevation, std::string launcher,
                      std::string program);

    // The job's side, from the worker thread.
    void PostProgress(int nPos);
    void PostStatus(std::string_view text);
    int AskBlocking(std::string_view text, unsigned nType);
    // Waits while the cancel question is open; false once a cancel was confirmed (also one
    // confirmed before the job set its busy flag).
    bool WaitAtStep();
    // The job's commit (the start of the read-back) begins: waits while the cancel question is
    // open; from then on Cancel asks nothing. False when a cancel was confirmed before.
    bool BeginCommit();

signals:
    void progressPosted(int nPos);
    void statusPosted(const QString& text);
    void jobFinished(int nResult);

protected:
    void OnOK() override { OnFormat(); }  // "&Format", and Enter
    void OnCancel() override;
    void OnCommand(int nId) override;
    virtual void OnFormat();
    virtual void OnUpdateDrives();
    void FillDriveList();

private:
    void onJobFinished(int nResult);
    void finishJob(int nResult);
    void enableButtons(bool bEnable);
    void fitDriveList();

    SystemViews m_views;
    std::filesystem::path m_payloadDirectory;
    UsbFormatWorker m_worker;
    std::function<bool(const std::string&)> m_needsElevation;
    std::string m_strLauncher;
    std::string m_strProgram;
    bool m_bRunning = false;
    std::atomic<bool> m_bCancelRequested{false};  // Yes to question 15 during this job
    std::string m_strDriveSignature;  // names and sizes of the listed disks
    int m_nDeferredResult = 0;  // a result that arrived while the cancel question was open
    std::mutex m_mutex;
    std::condition_variable m_questionClosed;
    bool m_bQuestionOpen = false;  // guarded by m_mutex
    bool m_bCommitting = false;    // guarded by m_mutex
    QThread* m_pThread = nullptr;
    std::chrono::steady_clock::time_point m_started;
};

}  // namespace pellorin
