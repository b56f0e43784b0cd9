#include "front/window/WindowHost.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QSpacerItem>
#include <QThread>

#include <algorithm>

namespace dorvix {

namespace {

QMessageBox::Icon qtIcon(MessageBoxIcon icon) {
    switch (icon) {
    case MessageBoxIcon::Error:
        return QMessageBox::Critical;
    case MessageBoxIcon::Warning:
        return QMessageBox::Warning;
    case MessageBoxIcon::Question:
        return QMessageBox::Question;
    case MessageBoxIcon::Information:
        break;
    }
    return QMessageBox::Information;
}

// A message box sizes itself to its text; a short text under the long program title would
// leave the title cut off in the frame. A spacer across the box's grid keeps it as wide as
// the whole title needs (never wider than the screen: the box limits itself to that).
void keepTitleWhole(QMessageBox& box) {
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (grid == nullptr) {
        return;
    }
    const QMargins margins = grid->contentsMargins();
    const int inner = titleWidth(box) - margins.left() - margins.right();
    grid->addItem(new QSpacerItem(inner, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                  grid->columnCount());
}

}  // namespace

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

MessageBoxResult WindowHost::messageBox(std::string_view text, std::string_view title, MessageBoxButtons buttons,
                                        MessageBoxIcon icon) {
    MessageBoxResult result = MessageBoxResult::Cancel;
    onInterfaceThread([&] {
        QWidget* owner = m_dialog != nullptr && m_dialog->isVisible() ? m_dialog.get() : nullptr;
        QMessageBox box(owner);
        box.setWindowTitle(controlText(title));
        box.setIcon(qtIcon(icon));
        box.setTextFormat(Qt::PlainText);
        box.setText(controlText(text));
        QPushButton* ok = box.addButton(QMessageBox::Ok);
        if (buttons == MessageBoxButtons::OkCancel) {
            box.addButton(QMessageBox::Cancel);
        }
        box.setDefaultButton(ok);
        keepTitleWhole(box);
        box.exec();
        // Closing the box any other way than with OK counts as Cancel.
        result = box.clickedButton() == ok ? MessageBoxResult::Ok : MessageBoxResult::Cancel;
    });
    return result;
}

int titleWidth(const QWidget& box) {
    // The frame draws the title in its own font (Qt names it after the sub-window title bar),
    // beside an icon and three buttons of about twice the font's height each.
    const QFontMetrics titleFont(QApplication::font("QMdiSubWindowTitleBar"));
    const QFontMetrics boxFont(box.font());
    const QString title = box.windowTitle();
    const int text = std::max(titleFont.horizontalAdvance(title), boxFont.horizontalAdvance(title));
    return text + 8 * std::max(titleFont.height(), boxFont.height());
}

}  // namespace dorvix
