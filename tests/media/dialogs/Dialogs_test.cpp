// The real dialogs, driven offscreen: the main dialog's buttons and choosers, the work dialogs'
// start, progress and cancel protocol, and the messages that follow results 1, 2 and 3. The
// message boxes and file choosers are replaced through the framework's hooks; everything else
// is the program's own. Every dialog is also rendered to a PNG in the build tree.

#include "app/ImagingToolDlg.h"
#include "app/WorkDialogs.h"
#include "jobs/StringTable.h"

#include "TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace pellorin;
using namespace testsupport;

QString text(unsigned id) { return QString::fromUtf8(std::string(LoadStringText(id))).replace("\r\n", "\n"); }

struct Message {
    QString caption;
    QString text;
    unsigned type;
};

class DialogTest : public ::testing::Test {
protected:
    DialogTest() {
        fs::create_directories(payload);
        fs::create_directories(folder);
        for (const char* name : {"KERNEL.SYS", "COMMAND.COM", "AUTOEXEC.BAT", "RECOVERY.PDF", "KMV.EXE"}) {
            writeFileBytes(payload / name, patternBytes(5000, 1));
        }
        writeFileBytes(payload / "FLASH.IMG", patternBytes(600000, 2));
        SetMessageBoxHook([this](const QString& caption, const QString& body, unsigned type) {
            messages.push_back({caption, body, type});
            return answer ? answer(body) : IDOK;
        });
        SetFileDialogHook([this](QFileDialog& dialog, QString& chosen) {
            choosers.push_back(&dialog);
            if (chosenPath.isEmpty()) return IDCANCEL;
            chosen = chosenPath;
            return IDOK;
        });
    }
    ~DialogTest() override {
        SetMessageBoxHook(nullptr);
        SetFileDialogHook(nullptr);
    }

    // A machine without disks: the format dialogs never look at the real system.
    SystemViews noDisks() const {
        SystemViews views;
        views.sysfsRoot = temp / "sys";
        views.mountInfo = temp / "mountinfo";
        views.swaps = temp / "swaps";
        return views;
    }

    std::vector<QString> messageTexts() const {
        std::vector<QString> texts;
        for (const Message& m : messages) texts.push_back(m.text);
        return texts;
    }

    TempDir temp;
    fs::path payload = temp / "payload";
    fs::path folder = temp / "folder";
    std::vector<Message> messages;
    std::function<int(const QString&)> answer;  // answers the message boxes; none: IDOK
    std::vector<QFileDialog*> choosers;
    QString chosenPath;  // what the choosers return; empty: they are cancelled
};

void savePng(QWidget& dialog, const char* name) {
    QDir().mkpath(QStringLiteral(DIALOG_PNG_DIR));
    const QString file = QStringLiteral(DIALOG_PNG_DIR "/%1.png").arg(QLatin1String(name));
    ASSERT_TRUE(dialog.grab().save(file)) << file.toStdString();
}

QString labelText(const CDialog& dialog, int id) {
    auto* label = dialog.GetDlgItem<QLabel>(id);
    return label ? label->text() : QString("<no control %1>").arg(id);
}

TEST_F(DialogTest, MainDialogHasItsControlsAndRendersToPng) {
    CImagingToolDlg dialog(payload);
    EXPECT_EQ(dialog.windowTitle(), QString::fromUtf8(std::string(kAppName)));
    struct Button {
        int id;
        const char* text;
    };
    for (const Button& b : {Button{1007, "&ISO Image"}, Button{1001, "&USB Format"}, Button{1002, "&Deployment"},
                            Button{2, "E&xit"}}) {
        auto* button = dialog.GetDlgItem<QPushButton>(b.id);
        ASSERT_NE(button, nullptr) << b.id;
        EXPECT_EQ(button->text(), b.text);
    }
    // The four buttons sit in one row, equally wide, left to right in the order of their x.
    EXPECT_LT(dialog.GetDlgItem(1007)->x(), dialog.GetDlgItem(1001)->x());
    EXPECT_LT(dialog.GetDlgItem(1002)->x(), dialog.GetDlgItem(2)->x());
    EXPECT_EQ(dialog.GetDlgItem(1007)->y(), dialog.GetDlgItem(2)->y());
    EXPECT_EQ(dialog.GetDlgItem(1007)->width(), dialog.GetDlgItem(1002)->width());
    EXPECT_GT(dialog.width(), dialog.GetDlgItem(2)->geometry().right());
    EXPECT_GT(dialog.height(), dialog.GetDlgItem(2)->geometry().bottom());
    savePng(dialog, "main_102");
}

// The payload line: the folder and the flash image, or what the folder lacks; the job buttons
// work only with KERNEL.SYS and a flash image. "Payload folder..." takes another folder.
TEST_F(DialogTest, MainDialogShowsItsPayloadAndNeedsAUsableOne) {
    const fs::path partial = temp / "partial";
    const fs::path empty = temp / "empty";
    const fs::path other = temp / "other";
    fs::create_directories(partial);
    fs::create_directories(empty);
    fs::create_directories(other);
    writeFileBytes(partial / "FLASH.IMG", patternBytes(1000, 2));
    writeFileBytes(partial / "KERNEL.SYS", {});  // empty: a medium could not start
    writeFileBytes(other / "kernel.sys", patternBytes(100, 1));
    writeFileBytes(other / "FLASH.BIN", patternBytes(3 << 20, 2));
    struct Case {
        const char* name;
        fs::path directory;
        QString line;
        bool usable;
    };
    const QString dir = QString::fromStdString(payload.string());
    const Case cases[] = {
        {"main_102_payload", payload, "Payload: " + dir + "\nFlash image: FLASH.IMG (585.9 KiB)", true},
        {"main_102_payload_partial", partial,
         "Payload: " + QString::fromStdString(partial.string()) +
             "\nMissing: KERNEL.SYS.",
         false},
        {"main_102_no_payload", empty,
         "Payload: " + QString::fromStdString(empty.string()) +
             "\nMissing: KERNEL.SYS and a flash image (FLASH.*).",
         false},
        {"main_102_no_folder", fs::path(), "Payload: no folder chosen.", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CImagingToolDlg dialog(c.directory);
        dialog.show();
        EXPECT_EQ(labelText(dialog, IDC_PAYLOAD_INFO), c.line);
        for (const int id : {IDC_ISO_IMAGE, IDC_USB_FORMAT, IDC_DEPLOYMENT})
            EXPECT_EQ(dialog.GetDlgItem(id)->isEnabled(), c.usable) << id;
        EXPECT_TRUE(dialog.GetDlgItem(IDCANCEL)->isEnabled());
        savePng(dialog, c.name);

        // A cancelled chooser keeps the payload; a chosen folder replaces it.
        chosenPath.clear();
        QTest::mouseClick(dialog.GetDlgItem<QPushButton>(IDC_PAYLOAD_FOLDER), Qt::LeftButton);
        EXPECT_EQ(dialog.PayloadDirectory(), c.directory);
        ASSERT_FALSE(choosers.empty());
        EXPECT_EQ(choosers.back()->fileMode(), QFileDialog::Directory);
        chosenPath = QString::fromStdString(other.string());
        QTest::mouseClick(dialog.GetDlgItem<QPushButton>(IDC_PAYLOAD_FOLDER), Qt::LeftButton);
        EXPECT_EQ(dialog.PayloadDirectory(), other);
        EXPECT_EQ(labelText(dialog, IDC_PAYLOAD_INFO),
                  "Payload: " + QString::fromStdString(other.string()) + "\nFlash image: FLASH.BIN (3.0 MiB)");
        EXPECT_TRUE(dialog.GetDlgItem(IDC_ISO_IMAGE)->isEnabled());
    }
    EXPECT_TRUE(messages.empty());
}

// The jobs take the payload chosen in the window.
TEST_F(DialogTest, DeploymentTakesTheChosenPayload) {
    const fs::path other = temp / "other";
    fs::create_directories(other);
    for (const char* name : {"KERNEL.SYS", "KMV.EXE", "RECOVERY.PDF"}) writeFileBytes(other / name, patternBytes(10, 3));
    writeFileBytes(other / "FLASH.BIN", patternBytes(2000, 4));
    CImagingToolDlg dialog(payload);
    dialog.show();
    chosenPath = QString::fromStdString(other.string());
    QTest::mouseClick(dialog.GetDlgItem<QPushButton>(IDC_PAYLOAD_FOLDER), Qt::LeftButton);
    chosenPath = QString::fromStdString(folder.string());
    QTest::mouseClick(dialog.GetDlgItem<QPushButton>(IDC_DEPLOYMENT), Qt::LeftButton);
    EXPECT_EQ(readFileBytes(folder / "FLASH.BIN"), readFileBytes(other / "FLASH.BIN"));
    EXPECT_FALSE(fs::exists(folder / "FLASH.IMG"));
}

TEST_F(DialogTest, CancelledChoosersLeaveTheMainDialogQuiet) {
    CImagingToolDlg dialog(payload);
    dialog.show();
    QTest::mouseClick(dialog.GetDlgItem<QPushButton>(1007), Qt::LeftButton);
    QTest::mouseClick(dialog.GetDlgItem<QPushButton>(1002), Qt::LeftButton);
    ASSERT_EQ(choosers.size(), 2u);
    // The ISO save dialog: saving, ".iso" added to a bare name, asks before replacing a file.
    EXPECT_EQ(choosers[0]->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_EQ(choosers[0]->defaultSuffix(), "iso");
    EXPECT_FALSE(choosers[0]->testOption(QFileDialog::DontConfirmOverwrite));
    EXPECT_TRUE(choosers[0]->nameFilters().first().startsWith("ISO Image Files"));
    // The folder picker: folders only, opening in the desktop folder or its largest existing
    // ancestor.
    EXPECT_EQ(choosers[1]->fileMode(), QFileDialog::Directory);
    EXPECT_EQ(choosers[1]->windowTitle(), "Select a Location for Image and Tools");
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    EXPECT_TRUE(desktop.startsWith(dialog.FolderPicker().InitialDirectory())) << desktop.toStdString();
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(dialog.isVisible());
}

TEST_F(DialogTest, AltMnemonicOpensTheIsoChooser) {
    CImagingToolDlg dialog(payload);
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    EXPECT_EQ(dialog.GetDlgItem<QPushButton>(1007)->shortcut(), QKeySequence(Qt::ALT | Qt::Key_I));
    QTest::keyClick(&dialog, Qt::Key_I, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return choosers.size() == 1; }, 2000));  // the button's animated click
}

TEST_F(DialogTest, IsoImageSuccessShowsString12WithTheFile) {
    CImagingToolDlg dialog(payload);
    dialog.show();
    const fs::path iso = temp / "recovery.iso";
    chosenPath = QString::fromStdString(iso.string());
    QTest::mouseClick(dialog.GetDlgItem<QPushButton>(1007), Qt::LeftButton);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, text(IDS_ISO_CREATE_DONE) + "\n\n" + chosenPath);
    EXPECT_EQ(messages[0].caption, QString::fromUtf8(std::string(kAppName)));
    EXPECT_EQ(messages[0].type, MB_OK | MB_ICONINFORMATION);
    EXPECT_GT(fs::file_size(iso), 47104u);
}

// A failure box keeps the table's string and names, on a paragraph of its own, the file and the
// system's reason.
TEST_F(DialogTest, IsoImageFailureShowsOnlyTheJobsWarningWithTheFileAndReason) {
    CImagingToolDlg dialog(payload);
    dialog.show();
    const struct {
        fs::path path;
        const char* reason;
    } cases[] = {
        {temp / "missing" / "recovery.iso", "No such file or directory"},
        {folder, "Is a directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.string());
        messages.clear();
        chosenPath = QString::fromStdString(c.path.string());
        QTest::mouseClick(dialog.GetDlgItem<QPushButton>(1007), Qt::LeftButton);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].text, text(IDS_ISO_CREATE_FAILED) + "\n\n" + chosenPath + ": " + c.reason);
        EXPECT_EQ(messages[0].type, MB_OK | MB_ICONWARNING);
    }
    SetMessageBoxHook(nullptr);
    const auto box = MakeMessageBox(&dialog, std::string(LoadStringText(IDS_ISO_CREATE_FAILED)) + "\r\n\r\n" +
                                                 folder.string() + ": Is a directory",
                                    MB_OK | MB_ICONWARNING);
    box->show();
    savePng(*box, "message_box_failure_with_detail");
}

TEST_F(DialogTest, DeploymentSuccessShowsString13WithTheFolder) {
    CImagingToolDlg dialog(payload);
    dialog.show();
    chosenPath = QString::fromStdString(folder.string());
    QTest::mouseClick(dialog.GetDlgItem<QPushButton>(1002), Qt::LeftButton);
    EXPECT_EQ(messageTexts(), std::vector<QString>{text(IDS_DEPLOYMENT_DONE) + "\n\n" + chosenPath});
    EXPECT_EQ(readFileBytes(folder / "FLASH.IMG"), readFileBytes(payload / "FLASH.IMG"));
}

TEST_F(DialogTest, DeploymentCancelledAtAQuestionShowsNothingMore) {
    CImagingToolDlg dialog(payload);
    dialog.show();
    writeFileText(folder / "KMV.EXE", "old");
    chosenPath = QString::fromStdString(folder.string());
    answer = [](const QString&) { return IDCANCEL; };
    QTest::mouseClick(dialog.GetDlgItem<QPushButton>(1002), Qt::LeftButton);
    EXPECT_EQ(messageTexts(), std::vector<QString>{text(IDS_CONFIRM_OVERWRITE_TOOL)});
    EXPECT_EQ(messages[0].type, MB_YESNOCANCEL | MB_ICONQUESTION);
    EXPECT_EQ(fs::file_size(folder / "KMV.EXE"), 3u);
}

TEST_F(DialogTest, IsoDialogShowsCalculatingUntilTheFirstStepThenMovesItsBar) {
    const fs::path iso = temp / "progress.iso";
    CCreateIsoDlg dialog(iso.string(), payload);
    EXPECT_EQ(labelText(dialog, IDC_STATUS), text(IDS_CALCULATING_HEADER));
    auto* bar = dialog.GetDlgItem<QProgressBar>(IDC_PROGRESS);
    ASSERT_NE(bar, nullptr);
    // Seen after each queued progress step reaches the bar: the status shown with it.
    std::vector<int> values;
    std::vector<QString> statusAtFirstStep;
    QObject::connect(
        &dialog, &CWorkDialog::progressPosted, &dialog,
        [&](int value) {
            if (values.empty()) statusAtFirstStep.push_back(labelText(dialog, IDC_STATUS));
            values.push_back(value);
        },
        Qt::QueuedConnection);
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(statusAtFirstStep, std::vector<QString>{text(IDS_CALCULATING_HEADER)});
    ASSERT_GE(values.size(), 2u);
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
    EXPECT_EQ(values.back(), 100);
    EXPECT_EQ(bar->value(), 100);
    // After the last step the dialog shows the flush, during which Cancel still works.
    EXPECT_EQ(labelText(dialog, IDC_STATUS), QString::fromUtf8(isotext::kFlushing));
    EXPECT_TRUE(messages.empty());
}

// The cancel protocol on the deployment dialog. The job's overwrite question is a fixed point
// in the job: while it is open the job waits, so Cancel is pressed there, while the job runs.
class CancelTest : public DialogTest, public ::testing::WithParamInterface<int> {};

TEST_P(CancelTest, AsksAndFollowsTheAnswer) {
    const int cancelAnswer = GetParam();
    writeFileText(folder / "FLASH.IMG", "old");
    CExtractFilesDlg dialog(folder.string(), payload);
    int overwriteQuestions = 0;
    answer = [&](const QString& body) {
        if (body == text(IDS_CONFIRM_OVERWRITE_IMAGE)) {
            ++overwriteQuestions;
            dialog.repaint();  // a repaint while the job runs starts nothing new
            QTest::keyClick(&dialog, Qt::Key_Escape);  // Cancel, and its question below
            EXPECT_TRUE(dialog.isVisible());
            return IDYES;
        }
        EXPECT_EQ(body, text(IDS_CONFIRM_CANCEL_EXTRACT));
        return cancelAnswer;
    };
    const int result = dialog.DoModal();
    EXPECT_EQ(overwriteQuestions, 1);
    EXPECT_EQ(messageTexts(), (std::vector<QString>{text(IDS_CONFIRM_OVERWRITE_IMAGE), text(IDS_CONFIRM_CANCEL_EXTRACT)}));
    EXPECT_EQ(messages[1].type, MB_YESNO | MB_ICONQUESTION);
    if (cancelAnswer == IDNO) {
        // The job went on to its end.
        EXPECT_EQ(result, IDOK);
        EXPECT_EQ(readFileBytes(folder / "FLASH.IMG"), readFileBytes(payload / "FLASH.IMG"));
        EXPECT_TRUE(fs::exists(folder / "RECOVERY.PDF"));
    } else {
        // The job stopped at its next step and removed what it had written.
        EXPECT_EQ(result, IDCANCEL);
        EXPECT_FALSE(fs::exists(folder / "KMV.EXE"));
        EXPECT_FALSE(fs::exists(folder / "RECOVERY.PDF"));
        EXPECT_EQ(fs::file_size(folder / "FLASH.IMG"), 3u);
    }
}

INSTANTIATE_TEST_SUITE_P(Answers, CancelTest, ::testing::Values(IDNO, IDYES),
                         [](const auto& testInfo) { return testInfo.param == IDNO ? "No" : "Yes"; });

// The same on the ISO dialog, whose job learns of the cancel through its own busy flag. Cancel is
// pressed when the first progress step reaches the window; a large image keeps the writer busy
// well beyond that.
class IsoCancelTest : public DialogTest, public ::testing::WithParamInterface<int> {};

TEST_P(IsoCancelTest, AsksAndFollowsTheAnswer) {
    fs::resize_file(payload / "FLASH.IMG", 64u << 20);
    const fs::path iso = temp / "cancel.iso";
    CCreateIsoDlg dialog(iso.string(), payload);
    bool pressed = false;
    QObject::connect(
        &dialog, &CWorkDialog::progressPosted, &dialog,
        [&](int) {
            if (pressed) return;
            pressed = true;
            QTest::mouseClick(dialog.GetDlgItem<QPushButton>(IDCANCEL), Qt::LeftButton);
        },
        Qt::QueuedConnection);
    answer = [](const QString&) { return GetParam(); };
    const int result = dialog.DoModal();
    EXPECT_EQ(messageTexts(), std::vector<QString>{text(IDS_CONFIRM_CANCEL_ISO)});
    if (GetParam() == IDNO) {
        EXPECT_EQ(result, IDOK);
        EXPECT_EQ(dialog.GetDlgItem<QProgressBar>(IDC_PROGRESS)->value(), 100);
        EXPECT_TRUE(fs::exists(iso));
    } else {
        EXPECT_EQ(result, IDCANCEL);
        EXPECT_FALSE(fs::exists(iso));
    }
}

INSTANTIATE_TEST_SUITE_P(Answers, IsoCancelTest, ::testing::Values(IDNO, IDYES),
                         [](const auto& testInfo) { return testInfo.param == IDNO ? "No" : "Yes"; });

// Cancel pressed after the job's commit (the ISO's rename, the deployment's renames) but
// before the dialog has seen the job end: no question, and the dialog ends with what happened.
// The interface thread is held in a slot until the committed files are in place, so the press
// comes after the commit and before the job's end reaches the dialog.
TEST_F(DialogTest, CancelAfterTheCommitAsksNothingAndReportsTheResult) {
    const fs::path iso = temp / "late.iso";
    writeFileText(iso, "old");
    writeFileText(folder / "KMV.EXE", "old");
    answer = [](const QString&) { return IDYES; };
    struct Case {
        const char* name;
        std::function<std::unique_ptr<CWorkDialog>()> make;
        QString lastStatus;                 // shown before the commit
        std::function<bool()> committed;    // the outcome is on disk
    };
    const Case cases[] = {
        {"iso", [&] { return std::make_unique<CCreateIsoDlg>(iso.string(), payload); },
         QString::fromUtf8(isotext::kFlushing), [&] { return fs::file_size(iso) > 3; }},
        {"deployment", [&] { return std::make_unique<CExtractFilesDlg>(folder.string(), payload); },
         text(IDS_EXTRACTING_DOCS),
         [&] { return fs::exists(folder / "RECOVERY.PDF") && fs::file_size(folder / "KMV.EXE") > 3; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        messages.clear();
        std::unique_ptr<CWorkDialog> dialog = c.make();
        bool pressed = false;
        QObject::connect(
            dialog.get(), &CWorkDialog::statusPosted, dialog.get(),
            [&](const QString& status) {
                if (pressed || status != c.lastStatus) return;
                pressed = true;
                // Without serving events: the job's end stays queued behind this slot.
                for (int i = 0; i < 2000 && !c.committed(); ++i) QThread::msleep(10);
                ASSERT_TRUE(c.committed());
                QThread::msleep(100);  // the job returns meanwhile
                QTest::mouseClick(dialog->GetDlgItem<QPushButton>(IDCANCEL), Qt::LeftButton);
            },
            Qt::QueuedConnection);
        EXPECT_EQ(dialog->DoModal(), IDOK);
        EXPECT_TRUE(pressed);
        for (const QString& message : messageTexts()) EXPECT_NE(message, text(IDS_CONFIRM_CANCEL_EXTRACT));
        for (const QString& message : messageTexts()) EXPECT_NE(message, text(IDS_CONFIRM_CANCEL_ISO));
    }
    EXPECT_EQ(readFileBytes(folder / "KMV.EXE"), readFileBytes(payload / "KMV.EXE"));
    EXPECT_GT(fs::file_size(iso), 47104u);
}

TEST_F(DialogTest, CancelAfterTheJobClosesWithoutAQuestion) {
    CExtractFilesDlg dialog(folder.string(), payload);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.Started() && !dialog.JobRunning() && !dialog.isVisible(); }, 20000));
    EXPECT_EQ(dialog.result(), IDOK);
    messages.clear();
    dialog.show();  // shown again, the job does not start again
    QTest::keyClick(&dialog, Qt::Key_Escape);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(dialog.result(), IDCANCEL);
}

TEST_F(DialogTest, WorkDialogsRenderToPng) {
    CExtractFilesDlg extract(folder.string(), payload);
    EXPECT_EQ(extract.windowTitle(), "Extracting Files");
    extract.GetDlgItem<QLabel>(IDC_STATUS)->setText(text(IDS_EXTRACTING_IMAGE));
    extract.GetDlgItem<QProgressBar>(IDC_PROGRESS)->setValue(40);
    savePng(extract, "extract_files_132");

    CCreateIsoDlg iso((temp / "x.iso").string(), payload);
    EXPECT_EQ(iso.windowTitle(), "Creating ISO Image");
    savePng(iso, "create_iso_131");

    CFormatUsbDlg format(noDisks(), payload, {});
    EXPECT_EQ(format.windowTitle(), "Format USB Drive");
    EXPECT_TRUE(format.GetDlgItem<QPushButton>(IDOK)->isDefault());
    EXPECT_EQ(format.GetDlgItem<QPushButton>(IDC_UPDATE_DRIVES)->text(), "&Update Drives");
    EXPECT_NE(format.DriveList(), nullptr);
    EXPECT_EQ(labelText(format, IDC_STATUS), "");
    savePng(format, "format_usb_130");
}

TEST_F(DialogTest, FormatFrameAsksOnlyWhileTheUsbJobWrites) {
    {
        CFormatUsbDlg dialog(noDisks(), payload, {});
        dialog.show();
        QTest::mouseClick(dialog.GetDlgItem<QPushButton>(IDCANCEL), Qt::LeftButton);
        EXPECT_TRUE(messages.empty());
        EXPECT_EQ(dialog.result(), IDCANCEL);
        EXPECT_FALSE(dialog.isVisible());
    }
    g_bFormatBusy = true;
    CFormatUsbDlg dialog(noDisks(), payload, {});
    dialog.show();
    answer = [](const QString&) { return IDNO; };
    QTest::mouseClick(dialog.GetDlgItem<QPushButton>(IDCANCEL), Qt::LeftButton);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(g_bFormatBusy);
    answer = [](const QString&) { return IDYES; };
    QTest::mouseClick(dialog.GetDlgItem<QPushButton>(IDCANCEL), Qt::LeftButton);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), IDCANCEL);
    EXPECT_FALSE(g_bFormatBusy);
    EXPECT_EQ(messageTexts(), (std::vector<QString>{text(IDS_CONFIRM_CANCEL_FORMAT), text(IDS_CONFIRM_CANCEL_FORMAT)}));
}

}  // namespace
