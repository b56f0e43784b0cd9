#pragma once
// The dialog framework of pellorin over Qt Widgets: the application object, modal dialogs laid
// out in dialog units with their controls found by id, and message boxes in the system's styles.
// Controls keep their ids as object names ("1007"), so tests find a control by its id.

#include <QDialog>
#include <QString>

#include <functional>
#include <memory>
#include <string_view>

class QApplication;
class QFileDialog;
class QMessageBox;
class QPushButton;

namespace pellorin {

// Dialog results and message-box answers.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// Message-box styles: the buttons in the low nibble, the icon in the next one.
inline constexpr unsigned MB_OK = 0x00;
inline constexpr unsigned MB_YESNOCANCEL = 0x03;
inline constexpr unsigned MB_YESNO = 0x04;
inline constexpr unsigned MB_ICONQUESTION = 0x20;
inline constexpr unsigned MB_ICONWARNING = 0x30;
inline constexpr unsigned MB_ICONINFORMATION = 0x40;

// The application object: names the application (the caption of every message box) and gives
// it its window icon. Exactly one lives while windows are shown.
class CWinApp {
public:
    explicit CWinApp(std::string_view name);
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    const QString& AppName() const { return m_strAppName; }
    static CWinApp* Current();

private:
    QString m_strAppName;
};

// The caption of message boxes: the running application's name.
QString AfxAppName();

// Shows a modal message box with the application's name as caption and returns IDOK, IDYES,
// IDNO or IDCANCEL. Must be called on the interface thread.
int AfxMessageBox(QWidget* pParent, std::string_view text, unsigned nType);

// The message box AfxMessageBox shows, built but not shown (tests render it).
std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* pParent, std::string_view text, unsigned nType);

// The same from a job's worker thread: the box is shown on the interface thread and the worker
// waits for the answer.
int AfxMessageBoxFromWorker(QWidget* pParent, std::string_view text, unsigned nType);

// Tests replace the message boxes and the file choosers; the dialogs themselves stay real.
// A message-box hook gets the caption, the text and the style and returns the answer.
using MessageBoxHook = std::function<int(const QString& caption, const QString& text, unsigned nType)>;
void SetMessageBoxHook(MessageBoxHook hook);
// A chooser hook gets the configured file dialog and returns IDOK or IDCANCEL; on IDOK it puts
// the chosen path into `chosen`.
using FileDialogHook = std::function<int(QFileDialog& dialog, QString& chosen)>;
void SetFileDialogHook(FileDialogHook hook);

// Runs a configured file dialog: through the hook when one is set, else modally. IDOK puts the
// first selected path into `chosen`.
int RunFileDialog(QFileDialog& dialog, QString& chosen);

// A rectangle in dialog units: left, top, width, height.
struct DialogRect {
    int x;
    int y;
    int cx;
    int cy;
};

// A modal dialog built from a layout in dialog units. The button with id 2 (and Esc and the
// close box) calls OnCancel; a button with id 1 calls OnOK; other buttons reach OnCommand.
class CDialog : public QDialog {
    Q_OBJECT
public:
    // A dialog of cx × cy dialog units with the given caption, in "MS Sans Serif" 8 point (or
    // the nearest sans-serif font the system has).
    CDialog(int nIDD, std::string_view caption, int cx, int cy, QWidget* pParent = nullptr);

    int DoModal();
    void EndDialog(int nResult);
    int Id() const { return m_nIDD; }

    // Pixels of a length in dialog units, horizontally and vertically, for the dialog's font.
    int DluToPixelsX(int dlu) const;
    int DluToPixelsY(int dlu) const;

    // The control with this id; null when there is none.
    QWidget* GetDlgItem(int nId) const;
    template <class T>
    T* GetDlgItem(int nId) const {
        return qobject_cast<T*>(GetDlgItem(nId));
    }

protected:
    QWidget* AddStatic(int nId, std::string_view text, DialogRect rect);
    QPushButton* AddButton(int nId, std::string_view text, DialogRect rect, bool bDefault = false);
    QWidget* AddProgress(int nId, DialogRect rect);
    QWidget* AddGroupBox(int nId, std::string_view text, DialogRect rect);
    QWidget* AddListBox(int nId, DialogRect rect);

    virtual void OnOK();
    virtual void OnCancel();
    virtual void OnCommand(int nId);

    void reject() override;  // Esc and the close box
    void accept() override;  // Enter without a default button

private:
    void place(QWidget* control, int nId, DialogRect rect);

    int m_nIDD;
    int m_nBaseX = 0;  // average character width of the dialog's font
    int m_nBaseY = 0;  // character height of the dialog's font
};

}  // namespace pellorin
