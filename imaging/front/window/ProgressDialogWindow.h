#pragma once
// The progress dialog of windowed mode: the program's title, a heading (control 1005), a
// status line (1004) and a progress bar (1000), laid out in dialog units of the dialog's
// font, centred on the screen and kept on top. Controls carry their ids as object names.
// The dialog stands for an engine at work that cannot be stopped halfway: it ends only on its
// own close message, never on Esc or its close box (the run would go on unseen).

#include "platform/Operator.h"

#include <QDialog>

class QCloseEvent;
class QLabel;
class QProgressBar;

namespace dorvix {

class ProgressDialogWindow : public QDialog {
public:
    ProgressDialogWindow();

    // Centres the dialog on its screen, keeps it on top and shows it.
    void showCentred();

    // The dialog's side of the four progress messages.
    void handleMessage(ProgressMessage message, unsigned wParam, std::string_view text);

    QLabel* heading() const { return m_heading; }
    QLabel* status() const { return m_status; }
    QProgressBar* bar() const { return m_bar; }

public:
    // Esc: ignored.
    void reject() override;

protected:
    // The close box: ignored.
    void closeEvent(QCloseEvent* event) override;

private:
    QLabel* m_heading;
    QLabel* m_status;
    QProgressBar* m_bar;
};

// A system text as a control shows it: CR LF and lone CRs become plain line ends.
QString controlText(std::string_view text);

}  // namespace dorvix
