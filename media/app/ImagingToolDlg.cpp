#include "app/ImagingToolDlg.h"

#include "app/WorkDialogs.h"
#include "jobs/PayloadList.h"
#include "jobs/StringTable.h"
#include "support/FolderStart.h"
#include "usb/UsbDrives.h"

#include <QFileDialog>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QStandardPaths>

#include <cstdio>
#include <exception>
#include <string>
#include <utility>

namespace pellorin {

// The same drawing as resources/pellorin/desktop/pellorin.svg, the icon of the desktop entry: a disc
// above a flash disk on a blue tile.
QIcon ApplicationIcon() {
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64, 128}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(size / 64.0, size / 64.0);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0x1f, 0x4e, 0x8c));
        painter.drawRoundedRect(QRectF(2, 2, 60, 60), 10, 10);
        painter.setBrush(QColor(0xe8, 0xee, 0xf6));
        painter.drawEllipse(QPointF(32, 26), 18, 18);
        painter.setBrush(QColor(0x1f, 0x4e, 0x8c));
        painter.drawEllipse(QPointF(32, 26), 5, 5);
        painter.setBrush(QColor(0xf2, 0xa9, 0x00));
        painter.drawRect(QRectF(20, 46, 24, 12));
        painter.setBrush(QColor(0xe8, 0xee, 0xf6));
        painter.drawRect(QRectF(26, 49, 4, 4));
        painter.drawRect(QRectF(34, 49, 4, 4));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

CFolderDialog::CFolderDialog(const QString& initialFolder, const QString& title, QWidget* pParent)
    : m_pDialog(std::make_unique<QFileDialog>(pParent)) {
    m_strInitialDirectory = QString::fromStdString(ResolveStartFolder(initialFolder.toStdString()));
    m_strSelected = m_strInitialDirectory;
    m_pDialog->setWindowTitle(title);
    m_pDialog->setAcceptMode(QFileDialog::AcceptOpen);
    m_pDialog->setFileMode(QFileDialog::Directory);
    m_pDialog->setOption(QFileDialog::ShowDirsOnly, true);
    m_pDialog->setDirectory(m_strInitialDirectory);
}

CFolderDialog::~CFolderDialog() = default;

int CFolderDialog::DoModal() {
    QString chosen;
    const int result = RunFileDialog(*m_pDialog, chosen);
    if (result == IDOK) m_strSelected = chosen;
    return result;
}

CImagingToolDlg::CImagingToolDlg(std::filesystem::path payloadDirectory, QWidget* pParent)
    : CDialog(IDD_IMAGINGTOOL_DIALOG, kAppName, 272, 109, pParent) {
    m_hIcon = ApplicationIcon();
    setWindowIcon(m_hIcon);

    AddStatic(-1,
              "This tool is designed to aid in the deployment of the specified image.  Select the deployment "
              "model that best matches your environment from the options below.",
              {7, 7, 258, 18});
    AddStatic(-1,
              "You can create a bootable ISO image compatibile with most CD-R software, format a USB drive with "
              "the image, or place the image and restoration tools in a location for use in your environment.",
              {7, 32, 258, 26});
    // The payload line and its button take the row under the texts; the buttons of the
    // deployment models move down by that row.
    AddStatic(IDC_PAYLOAD_INFO, "", {7, 62, 194, 18});
    AddButton(IDC_PAYLOAD_FOLDER, apptext::kPayloadFolderButton, {205, 63, 60, 14});
    AddButton(IDC_ISO_IMAGE, "&ISO Image", {7, 88, 60, 14});
    AddButton(IDC_USB_FORMAT, "&USB Format", {73, 88, 60, 14});
    AddButton(IDC_DEPLOYMENT, "&Deployment", {139, 88, 60, 14});
    AddButton(IDCANCEL, "E&xit", {205, 88, 60, 14});

    // The save dialog: asks before replacing a file, and a name without extension gets ".iso".
    m_pSaveDialog = std::make_unique<QFileDialog>(this);
    m_pSaveDialog->setAcceptMode(QFileDialog::AcceptSave);
    m_pSaveDialog->setFileMode(QFileDialog::AnyFile);
    m_pSaveDialog->setDefaultSuffix(QStringLiteral("iso"));
    m_pSaveDialog->setNameFilters({QStringLiteral("ISO Image Files (*.ISO *.iso)"), QStringLiteral("All Files (*)")});

    m_pFolderPicker = std::make_unique<CFolderDialog>(
        QStandardPaths::writableLocation(QStandardPaths::DesktopLocation),
        QStringLiteral("Select a Location for Image and Tools"));

    m_pPayloadPicker = std::make_unique<QFileDialog>(this);
    m_pPayloadPicker->setWindowTitle(QString::fromUtf8(apptext::kPayloadFolderTitle));
    m_pPayloadPicker->setAcceptMode(QFileDialog::AcceptOpen);
    m_pPayloadPicker->setFileMode(QFileDialog::Directory);
    m_pPayloadPicker->setOption(QFileDialog::ShowDirsOnly, true);

    SetPayloadDirectory(std::move(payloadDirectory));
}

void CImagingToolDlg::SetPayloadDirectory(std::filesystem::path payloadDirectory) {
    m_payloadDirectory = std::move(payloadDirectory);
    const PayloadSummary summary = SummarizePayload(m_payloadDirectory);
    auto* label = GetDlgItem<QLabel>(IDC_PAYLOAD_INFO);
    const QString folder = QString::fromStdString(m_payloadDirectory.string());
    // A long folder loses its middle, never its end, so that the line stays one line; the
    // tooltip holds it whole.
    const QFontMetrics metrics(label->font());
    const QString shown =
        metrics.elidedText(folder, Qt::ElideMiddle, label->width() - metrics.horizontalAdvance(QStringLiteral("Payload: ")));
    char line[2048];
    if (m_payloadDirectory.empty()) {
        std::snprintf(line, sizeof line, "%s", apptext::kNoPayloadFolder);
    } else if (summary.Usable()) {
        std::snprintf(line, sizeof line, apptext::kPayloadReady, shown.toStdString().c_str(),
                      summary.flashImage.filename().string().c_str(), FormatSize(summary.flashImageSize).c_str());
    } else {
        std::string missing;
        if (!summary.kernel) missing = apptext::kMissingKernel;
        if (summary.flashImage.empty()) missing += std::string(missing.empty() ? "" : " and ") + apptext::kMissingImage;
        std::snprintf(line, sizeof line, apptext::kPayloadMissing, shown.toStdString().c_str(), missing.c_str());
    }
    label->setText(QString::fromUtf8(line));
    label->setToolTip(folder);
    for (const int id : {IDC_ISO_IMAGE, IDC_USB_FORMAT, IDC_DEPLOYMENT}) {
        if (auto* button = GetDlgItem(id)) button->setEnabled(summary.Usable());
    }
}

CImagingToolDlg::~CImagingToolDlg() = default;

QString CImagingToolDlg::GetIsoPath() {
    try {
        QString chosen;
        return RunFileDialog(*m_pSaveDialog, chosen) == IDOK ? chosen : QString();
    } catch (const std::exception&) {
        return QString();
    }
}

QString CImagingToolDlg::GetDeployFolder() {
    try {
        return m_pFolderPicker->DoModal() == IDOK ? m_pFolderPicker->GetFolder() : QString();
    } catch (const std::exception&) {
        return QString();
    }
}

void CImagingToolDlg::OnCommand(int nId) {
    switch (nId) {
    case IDC_ISO_IMAGE: OnIsoImage(); break;
    case IDC_USB_FORMAT: OnUsbFormat(); break;
    case IDC_DEPLOYMENT: OnDeployment(); break;
    case IDC_PAYLOAD_FOLDER: OnPayloadFolder(); break;
    default: break;
    }
}

void CImagingToolDlg::OnPayloadFolder() {
    if (!m_payloadDirectory.empty()) m_pPayloadPicker->setDirectory(QString::fromStdString(m_payloadDirectory.string()));
    QString chosen;
    if (RunFileDialog(*m_pPayloadPicker, chosen) != IDOK || chosen.isEmpty()) return;
    SetPayloadDirectory(chosen.toStdString());
}

void CImagingToolDlg::OnIsoImage() {
    const QString path = GetIsoPath();
    if (path.isEmpty()) return;
    CCreateIsoDlg dialog(path.toStdString(), m_payloadDirectory, this);
    if (dialog.DoModal() == IDOK) {
        AfxMessageBox(this, WithSubject(LoadStringText(IDS_ISO_CREATE_DONE), path.toStdString()),
                      MB_OK | MB_ICONINFORMATION);
    }
}

void CImagingToolDlg::OnUsbFormat() {
    // The disks of the program and of its payload are never offered for formatting.
    SystemViews views;
    views.protectedPaths = {ProgramDirectory(), m_payloadDirectory};
    CFormatUsbDlg dialog(views, m_payloadDirectory, {}, this);
    dialog.DoModal();
}

void CImagingToolDlg::OnDeployment() {
    const QString folder = GetDeployFolder();
    if (folder.isEmpty()) return;
    CExtractFilesDlg dialog(folder.toStdString(), m_payloadDirectory, this);
    if (dialog.DoModal() == IDOK) {
        AfxMessageBox(this, WithSubject(LoadStringText(IDS_DEPLOYMENT_DONE), folder.toStdString()),
                      MB_OK | MB_ICONINFORMATION);
    }
}

}  // namespace pellorin
