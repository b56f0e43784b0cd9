#include "front/window/WindowHost.h"

#include <QMessageBox>
#include <QPushButton>
#include <QThread>

namespace dorvix {

WindowHost::WindowHost() = default;
WindowHost::~WindowHost() = default;

void WindowHost::onInterfaceThread(const std::function<void()>& call) {
    if (QThread::currentThread() == thread()) {
        call();  // a blocking queued call to the own thread would never return
    } else {
        QMetaObject::invokeMethod(this, call, Qt::BlockingQueuedConnection);
    }
}

ProgressWindow WindowHost::startDialog() {
    onInterfaceThread([this] {
        m_dialog = std::make_unique<ProgressDialogWindow>();
        m_dialog->showCentred();
    });
    return this;
}

void WindowHost::sendMessage(ProgressMessage message, unsigned wParam, std::string_view text) {
    onInterfaceThread([&] {
        if (m_dialog == nullptr) {
            return;
        }
        m_dialog->handleMessage(message, wParam, text);
        if (m_observer) {
            m_observer(message, wParam, std::string(text));
        }
    });
}

MessageBoxResult WindowHost::messageBox(std::string_view text, std::string_view title, MessageBoxButtons buttons) {
    MessageBoxResult result = MessageBoxResult::Cancel;
    onInterfaceThread([&] {
        QWidget* owner = m_dialog != nullptr && m_dialog->isVisible() ? m_dialog.get() : nullptr;
        QMessageBox box(owner);
        box.setWindowTitle(controlText(title));
        box.setTextFormat(Qt::PlainText);
        box.setText(controlText(text));
        QPushButton* ok = box.addButton(QMessageBox::Ok);
        if (buttons == MessageBoxButtons::OkCancel) {
            box.addButton(QMessageBox::Cancel);
        }
        box.setDefaultButton(ok);
        box.exec();
        // Closing the box any other way than with OK counts as Cancel.
        result = box.clickedButton() == ok ? MessageBoxResult::Ok : MessageBoxResult::Cancel;
    });
    return result;
}

}  // namespace dorvix
