#include "app/WorkDialogs.h"

#include "app/ElevatedFormat.h"

#include "iso/IsoImageBuilder.h"
#include "jobs/DeploymentJob.h"
#include "jobs/PayloadList.h"
#include "jobs/WorkResult.h"
#include "fat16/Trace.h"
#include "jobs/StringTable.h"

#include <QGroupBox>
#include <QLabel>
#include <QScrollBar>
#include <QListWidget>
#include <QMetaObject>
#include <QProgressBar>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QPushButton>

#include <algorithm>
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
    int AskQuestion(std::string_view text, std::string_view) override {
        switch (m_dialog.AskBlocking(text, MB_YESNOCANCEL | MB_ICONQUESTION)) {
        case IDYES: return kAnswerYes;
        case IDNO: return kAnswerNo;
        default: return kAnswerCancel;
        }
    }
    void PumpOneMessage() override { m_dialog.WaitAtStep(); }
    void BeginCommit() override { m_dialog.BeginCommit(); }

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
    void BeginCommit() override {
        if (!m_dialog.BeginCommit()) g_bIsoBusy = false;
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

namespace {

constexpr const char* kInstalledProgram = PELLORIN_INSTALLED_PROGRAM;

// The USB job's view over the format dialog, used on the worker thread.
class CDialogUsbView : public CIsoJobView {
public:
    explicit CDialogUsbView(CFormatUsbDlg& dialog) : m_dialog(dialog) {}
    void SetProgressRange(int, int) override {}
    void SetProgressPos(int nPos) override {
        if (nPos == m_nLastPos) return;
        m_nLastPos = nPos;
        m_dialog.PostProgress(nPos);
    }
    void SetStatusText(std::string_view text) override {
        if (text == m_strLastStatus) return;
        m_strLastStatus = text;
        m_dialog.PostStatus(text);
    }
    void ShowWarning(std::string_view text) override { m_dialog.AskBlocking(text, MB_OK | MB_ICONWARNING); }
    void PumpOneMessage() override {
        if (!m_dialog.WaitAtStep()) g_bFormatBusy = false;
    }
    void BeginCommit() override {
        if (!m_dialog.BeginCommit()) g_bFormatBusy = false;
    }

private:
    CFormatUsbDlg& m_dialog;
    int m_nLastPos = -1;
    std::string m_strLastStatus;
};

SystemViews desktopViews(const std::filesystem::path& payloadDirectory) {
    SystemViews views;
    views.protectedPaths = {ProgramDirectory(), payloadDirectory};
    return views;
}

}  // namespace

CFormatUsbDlg::CFormatUsbDlg(QWidget* pParent)
    : CFormatUsbDlg(desktopViews(ProgramDirectory()), ProgramDirectory(), {}, pParent) {}

CFormatUsbDlg::CFormatUsbDlg(SystemViews views, std::filesystem::path payloadDirectory, UsbFormatWorker worker,
                             QWidget* pParent)
    : CDialog(IDD_FORMATUSB_DIALOG, "Format USB Drive", 213, 76, pParent),
      m_views(std::move(views)),
      m_payloadDirectory(std::move(payloadDirectory)),
      m_worker(std::move(worker)) {
    if (!m_worker) {
        m_worker = [views = m_views](const UsbFormatRequest& request, CIsoJobView& view) {
            CUsbPlatform platform(views);
            return FormatUsbDrive(request, platform, view);
        };
        // The real job is offered with administrator rights where polkit is installed, always
        // through the installed program: the polkit action names that path, so pkexec shows the
        // action's own message and not its generic one.
        std::error_code ec;
        const QString pkexec = QStandardPaths::findExecutable(QStringLiteral("pkexec"));
        if (!pkexec.isEmpty() && std::filesystem::is_regular_file(kInstalledProgram, ec))
            SetElevation(NeedsElevation, pkexec.toStdString(), kInstalledProgram);
    }
    AddGroupBox(-1, "Select USB drive:", {7, 7, 140, 33});
    AddButton(IDOK, "&Format", {156, 7, 50, 14}, true);
    AddButton(IDCANCEL, "Cancel", {156, 24, 50, 14});
    AddProgress(IDC_PROGRESS, {7, 55, 199, 14});
    AddButton(IDC_UPDATE_DRIVES, "&Update Drives", {15, 20, 60, 12});
    AddListBox(IDC_DRIVE_LIST, {79, 20, 60, 12});
    AddStatic(IDC_STATUS, "", {7, 43, 171, 8});
    connect(this, &CFormatUsbDlg::progressPosted, this,
            [this](int nPos) {
                if (auto* bar = GetDlgItem<QProgressBar>(IDC_PROGRESS)) bar->setValue(nPos);
            },
            Qt::QueuedConnection);
    connect(this, &CFormatUsbDlg::statusPosted, this,
            [this](const QString& text) {
                if (auto* label = GetDlgItem<QLabel>(IDC_STATUS)) label->setText(text);
            },
            Qt::QueuedConnection);
    connect(this, &CFormatUsbDlg::jobFinished, this, &CFormatUsbDlg::onJobFinished, Qt::QueuedConnection);
    FillDriveList();
    // A stick plugged in or pulled shows up without "&Update Drives": the kernel's list is read
    // again every two seconds while the dialog is open and no job runs.
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &CFormatUsbDlg::RefreshIfChanged);
    timer->start(kDriveRefreshMs);
}

namespace {

std::string driveSignature(const std::vector<DriveInfo>& drives) {
    std::string signature;
    for (const DriveInfo& drive : drives) signature += drive.name + ":" + std::to_string(drive.sizeBytes) + ";";
    return signature;
}

}  // namespace

void CFormatUsbDlg::RefreshIfChanged() {
    if (m_bRunning) return;
    if (driveSignature(ListDrives(m_views)) == m_strDriveSignature) return;
    const std::string chosen = ChosenDevice();
    FillDriveList();
    // The disk in the row stays chosen while it is there.
    QListWidget* list = DriveList();
    for (int i = 0; list && i < list->count(); ++i) {
        if (list->item(i)->data(Qt::UserRole).toString().toStdString() == chosen) {
            list->scrollToItem(list->item(i), QAbstractItemView::PositionAtTop);
            break;
        }
    }
}

CFormatUsbDlg::~CFormatUsbDlg() {
    if (m_pThread) {
        g_bFormatBusy = false;
        m_bCancelRequested = true;
        {
            std::lock_guard lock(m_mutex);
            m_bQuestionOpen = false;
        }
        m_questionClosed.notify_all();
        m_pThread->wait();
        delete m_pThread;
    }
}

QListWidget* CFormatUsbDlg::DriveList() const { return GetDlgItem<QListWidget>(IDC_DRIVE_LIST); }

void CFormatUsbDlg::FillDriveList() {
    QListWidget* list = DriveList();
    if (!list) return;
    list->clear();
    const std::vector<DriveInfo> drives = ListDrives(m_views);
    m_strDriveSignature = driveSignature(drives);
    // Only disks the guard would let "&Format" take are offered: the one in the row is chosen,
    // and a disk that holds the system must never be.
    for (const DriveInfo& drive : drives) {
        if (!drive.formattable) continue;
        auto* item = new QListWidgetItem(QString::fromStdString(drive.name + " " + FormatSize(drive.sizeBytes)), list);
        item->setData(Qt::UserRole, QString::fromStdString(drive.devicePath));
        item->setToolTip(QString::fromStdString(drive.devicePath + (drive.model.empty() ? "" : ", " + drive.model)));
    }
    const bool any = list->count() > 0;
    if (!any) {
        auto* item = new QListWidgetItem(QString::fromUtf8(usbtext::kNoFormattableDisk), list);
        item->setFlags(Qt::NoItemFlags);
    }
    if (auto* format = GetDlgItem(IDOK)) format->setEnabled(any && !m_bRunning);
    fitDriveList();
    list->scrollToTop();
}

void CFormatUsbDlg::fitDriveList() {
    // One row, whole, at any font size: the list is as high as one row and as wide as its
    // longest entry needs (it grows to the right, inside the group box, never below its
    // template size). There is no horizontal scroll bar to cover the row.
    QListWidget* list = DriveList();
    if (!list) return;
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    list->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    list->setUniformItemSizes(true);
    list->setTextElideMode(Qt::ElideNone);
    const QFontMetrics metrics(list->font());
    int textWidth = 0;
    for (int i = 0; i < list->count(); ++i) textWidth = std::max(textWidth, metrics.horizontalAdvance(list->item(i)->text()));
    const int frame = 2 * list->frameWidth();
    const int rowHeight = std::max(list->sizeHintForRow(0), metrics.height() + 2);
    const int scrollBar = list->verticalScrollBar()->sizeHint().width();
    const int x = DluToPixelsX(79);
    const int y = DluToPixelsY(20);
    const int templateWidth = DluToPixelsX(60);
    const int wanted = textWidth + scrollBar + frame + 2 * metrics.averageCharWidth();
    const int room = DluToPixelsX(156) - DluToPixelsX(3) - x;  // up to the buttons' column
    const int width = std::clamp(wanted, templateWidth, std::max(templateWidth, room));
    int height = rowHeight + frame;
    list->setGeometry(x, y, width, height);
    // The row as the list lays it out at this font: the list is made exactly that high, so
    // that no part of the next row shows below it.
    list->doItemsLayout();
    const int laidOut = list->count() > 0 ? list->visualItemRect(list->item(0)).height() : 0;
    if (laidOut > 0 && laidOut != list->viewport()->height()) {
        height += laidOut - list->viewport()->height();
        list->setGeometry(x, y, width, height);
    }
    // The group box and the button beside the list follow the row's height.
    if (auto* update = GetDlgItem(IDC_UPDATE_DRIVES)) {
        update->setGeometry(DluToPixelsX(15), y, DluToPixelsX(60), std::max(DluToPixelsY(12), height));
    }
    if (auto* group = findChild<QGroupBox*>()) {
        const QRect box = group->geometry();
        group->setGeometry(box.x(), box.y(), std::max(box.width(), x + width + DluToPixelsX(4) - box.x()),
                           std::max(DluToPixelsY(33), y + height + DluToPixelsY(5) - box.y()));
    }
}

std::string CFormatUsbDlg::ChosenDevice() const {
    QListWidget* list = DriveList();
    if (!list || list->count() == 0) return {};
    QModelIndex top = list->indexAt(QPoint(1, 1));
    const int row = top.isValid() ? top.row() : 0;
    return list->item(row)->data(Qt::UserRole).toString().toStdString();  // empty for the "no disk" row
}

void CFormatUsbDlg::OnUpdateDrives() { FillDriveList(); }

void CFormatUsbDlg::SetElevation(std::function<bool(const std::string&)> needsElevation, std::string launcher,
                                 std::string program) {
    m_needsElevation = std::move(needsElevation);
    m_strLauncher = std::move(launcher);
    m_strProgram = std::move(program);
}

void CFormatUsbDlg::enableButtons(bool bEnable) {
    for (int id : {IDOK, IDC_UPDATE_DRIVES}) {
        if (auto* button = GetDlgItem(id)) button->setEnabled(bEnable);
    }
    // "&Format" has nothing to take while no disk is offered.
    if (bEnable && ChosenDevice().empty()) {
        if (auto* format = GetDlgItem(IDOK)) format->setEnabled(false);
    }
}

void CFormatUsbDlg::OnFormat() {
    if (m_bRunning) return;
    enableButtons(false);
    const std::string device = ChosenDevice();
    std::string message;
    if (!CheckUsbDrive(device, m_views, message)) {
        // The message asks the user to choose another drive or update the list: the dialog
        // stays open with a fresh list so that they can.
        AfxMessageBox(this, message, MB_OK | MB_ICONWARNING);
        enableButtons(true);
        FillDriveList();
        return;
    }
    if (AfxMessageBox(this, LoadStringText(IDS_CONFIRM_OVERWRITE_USB), MB_YESNO | MB_ICONQUESTION) != IDYES) {
        if (auto* bar = GetDlgItem<QProgressBar>(IDC_PROGRESS)) bar->setValue(0);
        EndDialog(IDCANCEL);
        return;
    }
    UsbFormatWorker worker = m_worker;
    if (!m_strLauncher.empty() && m_needsElevation && m_needsElevation(device)) {
        if (AfxMessageBox(this, usbtext::kOfferElevation, MB_YESNO | MB_ICONQUESTION) == IDYES) {
            worker = MakeElevatedWorker(m_strLauncher, m_strProgram);
        }
    }
    UsbFormatRequest request;
    request.device = device;
    request.payloadDirectory = m_payloadDirectory;
    m_bRunning = true;
    m_bCancelRequested = false;
    {
        std::lock_guard lock(m_mutex);
        m_bCommitting = false;
    }
    m_started = std::chrono::steady_clock::now();
    m_pThread = QThread::create([this, request, worker] {
        CDialogUsbView view(*this);
        emit jobFinished(worker(request, view));
    });
    m_pThread->start();
}

void CFormatUsbDlg::onJobFinished(int nResult) {
    if (m_pThread) {
        m_pThread->wait();
        delete m_pThread;
        m_pThread = nullptr;
    }
    m_bRunning = false;
    if (m_bQuestionOpen) {
        m_nDeferredResult = nResult;  // the question's answer ends the dialog
        return;
    }
    finishJob(nResult);
}

void CFormatUsbDlg::finishJob(int nResult) {
    // The job's result is what happened: a format that passed its commit is done.
    if (nResult == kWorkDone) {
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_started);
        DebugPrint(1, "   Format complete in %d seconds.\n", static_cast<int>(elapsed.count() / 1000));
        g_bFormatBusy = false;
        AfxMessageBox(this, LoadStringText(IDS_USB_FORMAT_DONE), MB_OK | MB_ICONINFORMATION);
        enableButtons(true);
        if (auto* label = GetDlgItem(IDC_STATUS)) label->setProperty("text", QString());
        EndDialog(IDOK);
        return;
    }
    if (auto* bar = GetDlgItem<QProgressBar>(IDC_PROGRESS)) bar->setValue(0);
    EndDialog(IDCANCEL);
}

void CFormatUsbDlg::PostProgress(int nPos) { emit progressPosted(nPos); }

void CFormatUsbDlg::PostStatus(std::string_view text) {
    emit statusPosted(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

int CFormatUsbDlg::AskBlocking(std::string_view text, unsigned nType) {
    return AfxMessageBoxFromWorker(this, text, nType);
}

bool CFormatUsbDlg::WaitAtStep() {
    std::unique_lock lock(m_mutex);
    m_questionClosed.wait(lock, [this] { return !m_bQuestionOpen; });
    return !m_bCancelRequested;
}

bool CFormatUsbDlg::BeginCommit() {
    std::unique_lock lock(m_mutex);
    m_questionClosed.wait(lock, [this] { return !m_bQuestionOpen; });
    m_bCommitting = !m_bCancelRequested;
    return !m_bCancelRequested;
}

void CFormatUsbDlg::OnCancel() {
    // The question is asked while the job writes and also while it still prepares the disk:
    // Yes then stops it before its first write. Past the commit nothing is asked.
    bool ask = false;
    bool committing = false;
    {
        std::lock_guard lock(m_mutex);
        committing = m_bCommitting && m_bRunning;
        ask = !committing && (g_bFormatBusy || m_bRunning);
        if (ask) m_bQuestionOpen = true;
    }
    if (committing) return;
    if (ask) {
        const int answer = AfxMessageBox(this, LoadStringText(IDS_CONFIRM_CANCEL_FORMAT), MB_YESNO | MB_ICONQUESTION);
        if (answer == IDYES) {
            g_bFormatBusy = false;
            m_bCancelRequested = true;
            if (auto* label = GetDlgItem(IDC_STATUS)) label->setProperty("text", QString());
        }
        {
            std::lock_guard lock(m_mutex);
            m_bQuestionOpen = false;
        }
        m_questionClosed.notify_all();
        if (m_nDeferredResult != 0) {
            // The job ended while the question was open.
            const int nResult = m_nDeferredResult;
            m_nDeferredResult = 0;
            finishJob(nResult);
            return;
        }
        if (answer != IDYES) return;  // No: the job goes on
    }
    // While the job runs, the dialog ends once it has returned.
    if (!m_bRunning) EndDialog(IDCANCEL);
}

void CFormatUsbDlg::OnCommand(int nId) {
    if (nId == IDC_UPDATE_DRIVES && !m_bRunning) OnUpdateDrives();
}

}  // namespace pellorin
