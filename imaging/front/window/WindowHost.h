#pragma once
// The progress window of windowed mode and its message boxes, living on the interface thread
// while the main flow and its engine run on a worker thread. Every call from the worker waits
// until the interface thread has handled it (a blocking queued call), so a text on the
// engine's stack stays valid for the call, as with a sent window message.

#include "front/window/ProgressDialogWindow.h"
#include "platform/Operator.h"

#include <QObject>

#include <functional>
#include <memory>
#include <string>

namespace dorvix {

class WindowHost final : public QObject, public ProgressWindowHost {
public:
    // Called on the interface thread after the dialog has handled a message (tests watch the
    // dialog with it).
    using Observer = std::function<void(ProgressMessage, unsigned, const std::string&)>;

    WindowHost();
    ~WindowHost() override;

    // Creates and shows the progress dialog; returns this host as its window.
    ProgressWindow startDialog();

    void sendMessage(ProgressMessage message, unsigned wParam, std::string_view text) override;
    // A modal message box, owned by the dialog while it is shown.
    MessageBoxResult messageBox(std::string_view text, std::string_view title, MessageBoxButtons buttons,
                                MessageBoxIcon icon) override;

    ProgressDialogWindow* dialog() const { return m_dialog.get(); }
    void setObserver(Observer observer) { m_observer = std::move(observer); }

private:
    void onInterfaceThread(const std::function<void()>& call);

    std::unique_ptr<ProgressDialogWindow> m_dialog;
    Observer m_observer;
};

// The width a message box needs to show its whole window title in its frame.
int titleWidth(const QWidget& box);

}  // namespace dorvix
