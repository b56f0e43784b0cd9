#include "app/WorkDialog.h"

#include "jobs/StringTable.h"

#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QThread>

namespace pellorin {

CWorkDialog::CWorkDialog(int nIDD, std::string_view caption, int cx, int cy, unsigned nCancelQuestion,
                         QWidget* pParent)
    : CDialog(nIDD, caption, cx, cy, pParent), m_nCancelQuestion(nCancelQuestion) {
    connect(this, &CWorkDialog::progressRangePosted, this,
            [this](int nLower, int nUpper) {
                if (auto* bar = GetDlgItem<QProgressBar>(IDC_PROGRESS)) bar->setRange(nLower, nUpper);
            },
            Qt::QueuedConnection);
    connect(this, &CWorkDialog::progressPosted, this,
            [this](int nPos) {
                if (auto* bar = GetDlgItem<QProgressBar>(IDC_PROGRESS)) bar->setValue(nPos);
            },
            Qt::QueuedConnection);
    connect(this, &CWorkDialog::statusPosted, this, &CWorkDialog::SetStatus, Qt::QueuedConnection);
    connect(this, &CWorkDialog::jobFinished, this, &CWorkDialog::onJobFinished, Qt::QueuedConnection);
}

CWorkDialog::~CWorkDialog() {
    if (m_pThread) {
        m_bBusy = false;
        {
            std::lock_guard lock(m_mutex);
            m_bQuestionOpen = false;
        }
        m_questionClosed.notify_all();
        m_pThread->wait();
        delete m_pThread;
    }
}

void CWorkDialog::PostProgressRange(int nLower, int nUpper) { emit progressRangePosted(nLower, nUpper); }
void CWorkDialog::PostProgressPos(int nPos) { emit progressPosted(nPos); }
void CWorkDialog::PostStatus(std::string_view text) {
    emit statusPosted(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

int CWorkDialog::AskBlocking(std::string_view text, unsigned nType) {
    return AfxMessageBoxFromWorker(this, text, nType);
}

bool CWorkDialog::WaitAtStep() {
    std::unique_lock lock(m_mutex);
    m_questionClosed.wait(lock, [this] { return !m_bQuestionOpen; });
    return m_bBusy;
}

bool CWorkDialog::BeginCommit() {
    std::unique_lock lock(m_mutex);
    m_questionClosed.wait(lock, [this] { return !m_bQuestionOpen; });
    m_bCommitting = m_bBusy;
    return m_bBusy;
}

QString CWorkDialog::StatusText() const {
    const auto* label = GetDlgItem<QLabel>(IDC_STATUS);
    return label ? label->text() : QString();
}

void CWorkDialog::SetStatus(const QString& text) {
    if (auto* label = GetDlgItem<QLabel>(IDC_STATUS)) label->setText(text);
}

void CWorkDialog::paintEvent(QPaintEvent* event) {
    CDialog::paintEvent(event);
    if (!m_bStarted) {
        m_bStarted = true;
        QMetaObject::invokeMethod(this, &CWorkDialog::BeginWork, Qt::QueuedConnection);
    }
}

void CWorkDialog::BeginWork() {
    if (m_pThread || !isVisible()) return;  // once, and never for a dialog already ended
    m_bRunning = true;
    m_pThread = QThread::create([this] {
        emit jobFinished(RunJob());
    });
    m_pThread->start();
}

void CWorkDialog::OnCancel() {
    bool committing = false;
    {
        std::lock_guard lock(m_mutex);
        committing = m_bCommitting && m_bRunning;
        if (m_bBusy && !committing) m_bQuestionOpen = true;
    }
    // Past the commit the job finishes; the status line shows what it still does.
    if (committing) return;
    if (m_bBusy) {
        m_bAsking = true;
        const int answer = AfxMessageBox(this, LoadStringText(m_nCancelQuestion), MB_YESNO | MB_ICONQUESTION);
        m_bAsking = false;
        if (answer == IDYES) m_bBusy = false;
        {
            std::lock_guard lock(m_mutex);
            m_bQuestionOpen = false;
        }
        m_questionClosed.notify_all();
        if (m_nDeferredResult != 0) {
            // The job ended while the question was open: its result stands.
            EndDialog(m_nDeferredResult);
            return;
        }
        if (answer != IDYES) return;  // No: the dialog stays and the job goes on
    }
    // The dialog closes at once unless a job runs; then it closes when the job has returned.
    if (!m_bRunning) EndDialog(IDCANCEL);
}

void CWorkDialog::onJobFinished(int nResult) {
    if (m_pThread) m_pThread->wait();
    m_bRunning = false;
    m_bBusy = false;
    if (m_bAsking) {
        m_nDeferredResult = nResult;
        return;
    }
    // The job's result is what happened: a job that saw the cancel says so itself.
    EndDialog(nResult);
}

}  // namespace pellorin
