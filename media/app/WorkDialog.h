#pragma once
// The work dialogs' common part: a progress bar (1003), a status line (1009) and Cancel (2); the
// job runs on a worker thread once the dialog has first painted, and the dialog ends with the
// job's result (1 done, 2 cancelled, 3 failed and reported).
//
// The job reaches the dialog only through queued signals (progress, status) and blocking calls
// into the interface thread (its message boxes and questions). Cancel follows the system's
// protocol: while the job is busy the dialog asks its question; while the question is open the
// job waits at its next progress step, as it would inside a modal loop; No lets it go on, Yes
// clears the busy flag, the job stops at its next step, and the dialog ends with IDCANCEL once
// the job has returned. Once the job's commit has begun (BeginCommit) Cancel asks nothing: the
// job finishes, and the dialog always ends with the result the job returns.

#include "framework/Framework.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

class QThread;

namespace pellorin {

// Control ids shared by the work dialogs.
inline constexpr int IDC_PROGRESS = 1003;
inline constexpr int IDC_STATUS = 1009;

class CWorkDialog : public CDialog {
    Q_OBJECT
public:
    ~CWorkDialog() override;

    // The job's side: callable from the worker thread.
    void PostProgressRange(int nLower, int nUpper);
    void PostProgressPos(int nPos);
    void PostStatus(std::string_view text);
    // A message box on the interface thread; the job waits for the answer.
    int AskBlocking(std::string_view text, unsigned nType);
    // The job's progress step: waits while a cancel question is open, then reports whether the
    // job may go on (false once a cancel was confirmed).
    bool WaitAtStep();
    // The job's commit begins: waits while a cancel question is open; from then on Cancel asks
    // nothing and the dialog ends with the job's result. Reports whether the job may go on.
    bool BeginCommit();

    std::atomic<bool>& BusyFlag() { return m_bBusy; }
    bool Started() const { return m_bStarted; }
    bool JobRunning() const { return m_bRunning; }

    // The status line's text as the dialog shows it.
    QString StatusText() const;

signals:
    void progressRangePosted(int nLower, int nUpper);
    void progressPosted(int nPos);
    void statusPosted(const QString& text);
    void jobFinished(int nResult);

protected:
    CWorkDialog(int nIDD, std::string_view caption, int cx, int cy, unsigned nCancelQuestion, QWidget* pParent);

    // Runs on the worker thread and returns the dialog's result.
    virtual int RunJob() = 0;

    // Starts the job on a worker thread, at most once.
    void BeginWork();
    void SetStatus(const QString& text);

    void paintEvent(QPaintEvent* event) override;
    void OnCancel() override;

private:
    void onJobFinished(int nResult);

    unsigned m_nCancelQuestion;
    bool m_bStarted = false;
    std::atomic<bool> m_bBusy{true};
    std::atomic<bool> m_bRunning{false};
    bool m_bAsking = false;
    int m_nDeferredResult = 0;  // a result that arrived while the cancel question was open
    std::mutex m_mutex;
    std::condition_variable m_questionClosed;
    bool m_bQuestionOpen = false;  // guarded by m_mutex
    bool m_bCommitting = false;    // guarded by m_mutex
    QThread* m_pThread = nullptr;
};

}  // namespace pellorin
