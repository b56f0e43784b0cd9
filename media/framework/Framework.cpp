#include "framework/Framework.h"

#include <QApplication>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMetaObject>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

#include <utility>

namespace pellorin {

namespace {

CWinApp* s_pApp = nullptr;
MessageBoxHook s_messageBoxHook;
FileDialogHook s_fileDialogHook;

QString toQString(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// The table's texts break lines with "\r\n"; a Qt label breaks at "\n".
QString messageText(std::string_view text) {
    QString result = toQString(text);
    result.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return result;
}

}  // namespace

CWinApp::CWinApp(std::string_view name) : m_strAppName(toQString(name)) {
    s_pApp = this;
    QApplication::setApplicationName(m_strAppName);
    QApplication::setApplicationDisplayName(QString());  // captions stay the texts as given
}

CWinApp::~CWinApp() {
    if (s_pApp == this) s_pApp = nullptr;
}

CWinApp* CWinApp::Current() { return s_pApp; }

QString AfxAppName() { return s_pApp ? s_pApp->AppName() : QApplication::applicationName(); }

void SetMessageBoxHook(MessageBoxHook hook) { s_messageBoxHook = std::move(hook); }
void SetFileDialogHook(FileDialogHook hook) { s_fileDialogHook = std::move(hook); }

int AfxMessageBox(QWidget* pParent, std::string_view text, unsigned nType) {
    if (s_messageBoxHook) return s_messageBoxHook(AfxAppName(), messageText(text), nType);
    const std::unique_ptr<QMessageBox> box = MakeMessageBox(pParent, text, nType);
    switch (box->exec()) {
    case QMessageBox::Yes: return IDYES;
    case QMessageBox::No: return IDNO;
    case QMessageBox::Cancel: return IDCANCEL;
    default: return IDOK;
    }
}

std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* pParent, std::string_view text, unsigned nType) {
    const QString caption = AfxAppName();
    const QString body = messageText(text);
    auto pBox = std::make_unique<QMessageBox>(pParent);
    QMessageBox& box = *pBox;
    box.setWindowTitle(caption);
    box.setText(body);
    switch (nType & 0xF0) {
    case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
    case MB_ICONWARNING: box.setIcon(QMessageBox::Warning); break;
    case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
    default: break;
    }
    switch (nType & 0x0F) {
    case MB_YESNO:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setEscapeButton(QMessageBox::No);
        break;
    case MB_YESNOCANCEL:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        break;
    default: box.setStandardButtons(QMessageBox::Ok); break;
    }
    return pBox;
}

int AfxMessageBoxFromWorker(QWidget* pParent, std::string_view text, unsigned nType) {
    int answer = IDCANCEL;
    const std::string copy(text);
    QMetaObject::invokeMethod(
        pParent, [pParent, &answer, &copy, nType] { answer = AfxMessageBox(pParent, copy, nType); },
        Qt::BlockingQueuedConnection);
    return answer;
}

int RunFileDialog(QFileDialog& dialog, QString& chosen) {
    if (s_fileDialogHook) return s_fileDialogHook(dialog, chosen);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return IDCANCEL;
    chosen = dialog.selectedFiles().first();
    return IDOK;
}

CDialog::CDialog(int nIDD, std::string_view caption, int cx, int cy, QWidget* pParent)
    : QDialog(pParent), m_nIDD(nIDD) {
    setObjectName(QString::number(nIDD));
    setWindowTitle(toQString(caption));
    // Modal frame with caption and system menu: no resizing, no help button.
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPointSize(8);
    font.setStyleHint(QFont::SansSerif);
    setFont(font);

    // Dialog base units: the average width of the letters and the height of the font.
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_nBaseX = (letters / 26 + 1) / 2;
    m_nBaseY = metrics.height();
    setFixedSize(DluToPixelsX(cx), DluToPixelsY(cy));
}

int CDialog::DoModal() { return exec(); }

void CDialog::EndDialog(int nResult) { done(nResult); }

int CDialog::DluToPixelsX(int dlu) const { return (dlu * m_nBaseX + 2) / 4; }
int CDialog::DluToPixelsY(int dlu) const { return (dlu * m_nBaseY + 4) / 8; }

QWidget* CDialog::GetDlgItem(int nId) const {
    return findChild<QWidget*>(QString::number(nId), Qt::FindDirectChildrenOnly);
}

void CDialog::place(QWidget* control, int nId, DialogRect rect) {
    control->setObjectName(QString::number(nId));
    control->setGeometry(DluToPixelsX(rect.x), DluToPixelsY(rect.y), DluToPixelsX(rect.cx), DluToPixelsY(rect.cy));
}

QWidget* CDialog::AddStatic(int nId, std::string_view text, DialogRect rect) {
    auto* label = new QLabel(toQString(text), this);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(label, nId, rect);
    return label;
}

QPushButton* CDialog::AddButton(int nId, std::string_view text, DialogRect rect, bool bDefault) {
    auto* button = new QPushButton(toQString(text), this);
    button->setDefault(bDefault);
    place(button, nId, rect);
    connect(button, &QPushButton::clicked, this, [this, nId] {
        if (nId == IDOK) {
            OnOK();
        } else if (nId == IDCANCEL) {
            OnCancel();
        } else {
            OnCommand(nId);
        }
    });
    return button;
}

QWidget* CDialog::AddProgress(int nId, DialogRect rect) {
    auto* bar = new QProgressBar(this);
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(false);
    place(bar, nId, rect);
    return bar;
}

QWidget* CDialog::AddGroupBox(int nId, std::string_view text, DialogRect rect) {
    auto* box = new QGroupBox(toQString(text), this);
    place(box, nId, rect);
    box->lower();  // behind the controls it frames
    return box;
}

QWidget* CDialog::AddListBox(int nId, DialogRect rect) {
    auto* list = new QListWidget(this);
    place(list, nId, rect);
    return list;
}

void CDialog::OnOK() { EndDialog(IDOK); }
void CDialog::OnCancel() { EndDialog(IDCANCEL); }
void CDialog::OnCommand(int) {}

void CDialog::reject() { OnCancel(); }
void CDialog::accept() { OnOK(); }

}  // namespace pellorin
