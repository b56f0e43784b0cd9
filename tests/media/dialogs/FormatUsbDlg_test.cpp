// The "Format USB Drive" dialog on a made-up machine, with a stand-in for the format job: the
// drive list and "&Update Drives", the checks and the confirmation of "&Format", the disabled
// buttons and the progress while the job runs, cancel (question 15), and how each outcome ends
// the dialog. The filled dialog is rendered to a PNG beside the other dialogs' pictures.

#include "app/WorkDialogs.h"

#include <sys/stat.h>
#include "jobs/StringTable.h"
#include "jobs/WorkResult.h"

#include "UsbFakeSystem.h"

#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace pellorin;
using pellorin::testing_support::FakeSystem;

QString text(unsigned id) { return QString::fromUtf8(std::string(LoadStringText(id))).replace("\r\n", "\n"); }

class FormatUsbDialogTest : public ::testing::Test {
protected:
    FormatUsbDialogTest() {
        sys.AddDisk({"sda", "250:0", testing_support::kSataBusPath, "0", 1000000, {"sda1"}});
        sys.AddDisk({"sdb", "250:16", testing_support::kUsbBusPath, "0", 31260672, {"sdb1"}, "Acme", "Stick"});
        SetMessageBoxHook([this](const QString&, const QString& body, unsigned) {
            messages.push_back(body);
            return answer ? answer(body) : IDOK;
        });
    }
    ~FormatUsbDialogTest() override {
        SetMessageBoxHook(nullptr);
        g_bFormatBusy = false;
    }

    // A job that records its request and returns `result`; with `runUntilCancelled` it writes
    // until a cancel clears the busy flag, as the real job does.
    UsbFormatWorker Worker(int result, bool runUntilCancelled = false) {
        return [this, result, runUntilCancelled](const UsbFormatRequest& request, CIsoJobView& view) {
            requests.push_back(request.device);
            g_bFormatBusy = true;
            view.SetProgressRange(0, 100);
            for (int i = 1; runUntilCancelled && g_bFormatBusy && i < 100000; ++i) {
                view.SetProgressPos(40);
                view.SetStatusText(FormatPercentText(40));
                view.PumpOneMessage();
                started = true;
                QThread::msleep(2);
            }
            const bool cancelled = !g_bFormatBusy;
            g_bFormatBusy = false;
            return runUntilCancelled && cancelled ? kWorkCancelled : result;
        };
    }

    FakeSystem sys;
    std::vector<QString> messages;
    std::function<int(const QString&)> answer;
    std::vector<std::string> requests;
    std::atomic<bool> started{false};
};

TEST_F(FormatUsbDialogTest, ListsTheDisksAndUpdatesThem) {
    CFormatUsbDlg dialog(sys.Views(), sys.Root(), Worker(kWorkDone));
    dialog.show();
    QListWidget* list = dialog.DriveList();
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->item(0)->text(), "sda 488.3 MiB");
    EXPECT_EQ(list->item(1)->text(), "sdb 14.9 GiB");
    EXPECT_EQ(list->item(1)->toolTip().toStdString(), (sys.Dev() / "sdb").string() + ", Acme Stick");
    // The row shows the first disk that can be formatted, and that is the chosen one.
    EXPECT_EQ(dialog.ChosenDevice(), (sys.Dev() / "sdb").string());

    sys.AddDisk({"sdc", "250:32", testing_support::kUsbBusPath2, "0", 2000000, {}});
    QTest::mouseClick(dialog.GetDlgItem<QPushButton>(IDC_UPDATE_DRIVES), Qt::LeftButton);
    EXPECT_EQ(list->count(), 3);
    // Scrolling the row chooses another disk, whatever is highlighted.
    list->setCurrentRow(0);
    list->scrollToItem(list->item(2), QAbstractItemView::PositionAtTop);
    EXPECT_EQ(dialog.ChosenDevice(), (sys.Dev() / "sdc").string());

    // A stick pulled or plugged in shows without the button; the chosen disk stays chosen.
    fs::remove_all(sys.Sys() / "block/sda");
    sys.AddDisk({"sdd", "250:48", "pci0000:00/usb3/3-1/3-1:1.0/host8/target8:0:0/8:0:0:0", "0", 2000000, {}});
    dialog.RefreshIfChanged();
    ASSERT_EQ(list->count(), 3);
    EXPECT_EQ(list->item(0)->text(), "sdb 14.9 GiB");
    EXPECT_EQ(dialog.ChosenDevice(), (sys.Dev() / "sdc").string());
    EXPECT_TRUE(messages.empty());
}

TEST_F(FormatUsbDialogTest, FormatChecksAsksAndEnds) {
    struct Case {
        const char* name;
        std::function<void(FakeSystem&, QListWidget&)> arrange;
        int answerTo27;
        int jobResult;
        std::vector<QString> messages;
        bool jobRuns;
        int dialogResult;
    };
    const Case cases[] = {
        {"disk on another bus", [](FakeSystem&, QListWidget& l) { l.scrollToItem(l.item(0), QAbstractItemView::PositionAtTop); },
         IDYES, kWorkDone, {text(IDS_NOT_A_USB_DEVICE)}, false, IDCANCEL},
        {"disk gone since the list", [](FakeSystem& s, QListWidget&) { fs::remove_all(s.Sys() / "block/sdb"); },
         IDYES, kWorkDone, {text(IDS_NETWORK_DRIVE)}, false, IDCANCEL},
        {"no to the confirmation", {}, IDNO, kWorkDone, {text(IDS_CONFIRM_OVERWRITE_USB)}, false, IDCANCEL},
        {"formatted", {}, IDYES, kWorkDone, {text(IDS_CONFIRM_OVERWRITE_USB), text(IDS_USB_FORMAT_DONE)}, true, IDOK},
        {"job failed and said so", {}, IDYES, kWorkFailed, {text(IDS_CONFIRM_OVERWRITE_USB)}, true, IDCANCEL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        messages.clear();
        requests.clear();
        FakeSystem machine;
        machine.AddDisk({"sda", "250:0", testing_support::kSataBusPath, "0", 1000000, {}});
        machine.AddDisk({"sdb", "250:16", testing_support::kUsbBusPath, "0", 31260672, {}});
        CFormatUsbDlg dialog(machine.Views(), machine.Root(), Worker(c.jobResult));
        dialog.show();
        if (c.arrange) c.arrange(machine, *dialog.DriveList());
        answer = [&c](const QString& body) { return body == text(IDS_CONFIRM_OVERWRITE_USB) ? c.answerTo27 : IDOK; };
        QTest::mouseClick(dialog.GetDlgItem<QPushButton>(IDOK), Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 5000));
        EXPECT_EQ(dialog.result(), c.dialogResult);
        EXPECT_EQ(messages, c.messages);
        EXPECT_EQ(requests.size(), c.jobRuns ? 1U : 0U);
        if (c.jobRuns) {
            EXPECT_EQ(requests[0], (machine.Dev() / "sdb").string());
        }
        EXPECT_EQ(dialog.GetDlgItem<QPushButton>(IDOK)->isEnabled(), c.dialogResult == IDOK);
    }
}

TEST_F(FormatUsbDialogTest, CancelDuringTheJobAsksQuestion15) {
    CFormatUsbDlg dialog(sys.Views(), sys.Root(), Worker(kWorkDone, true));
    dialog.show();
    answer = [](const QString& body) { return body == text(IDS_CONFIRM_CANCEL_FORMAT) ? IDNO : IDYES; };
    QTest::mouseClick(dialog.GetDlgItem<QPushButton>(IDOK), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return started.load(); }, 5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.GetDlgItem<QProgressBar>(IDC_PROGRESS)->value() == 40; }, 5000));
    EXPECT_FALSE(dialog.GetDlgItem<QPushButton>(IDOK)->isEnabled());
    EXPECT_FALSE(dialog.GetDlgItem<QPushButton>(IDC_UPDATE_DRIVES)->isEnabled());
    EXPECT_TRUE(dialog.GetDlgItem<QPushButton>(IDCANCEL)->isEnabled());
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return dialog.GetDlgItem<QLabel>(IDC_STATUS)->text() == QString::fromStdString(FormatPercentText(40)); }, 2000));
    QDir().mkpath(QStringLiteral(DIALOG_PNG_DIR));
    EXPECT_TRUE(dialog.grab().save(QStringLiteral(DIALOG_PNG_DIR "/format_usb_130_writing.png")));

    // No: the job goes on.
    QTest::mouseClick(dialog.GetDlgItem<QPushButton>(IDCANCEL), Qt::LeftButton);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(dialog.JobRunning());
    // Yes: the job stops and the dialog ends without a further message.
    answer = [](const QString&) { return IDYES; };
    QTest::mouseClick(dialog.GetDlgItem<QPushButton>(IDCANCEL), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 5000));
    EXPECT_EQ(dialog.result(), IDCANCEL);
    EXPECT_EQ(messages, (std::vector<QString>{text(IDS_CONFIRM_OVERWRITE_USB), text(IDS_CONFIRM_CANCEL_FORMAT),
                                               text(IDS_CONFIRM_CANCEL_FORMAT)}));
    EXPECT_FALSE(g_bFormatBusy);
}

// Where the disk cannot be written, "&Format" offers to run the job with administrator rights:
// the launcher (here a script standing for pkexec) runs pellorin's own "usb" command, whose
// progress and messages reach the dialog.
TEST_F(FormatUsbDialogTest, OffersAdministratorRightsAndShowsTheChildsJob) {
    const fs::path launcher = sys.Root() / "launcher";
    testsupport::writeFileText(launcher, "#!/bin/sh\nexec \"$@\"\n");
    ::chmod(launcher.c_str(), 0755);
    const fs::path stubborn = sys.Root() / "progress-forever";
    testsupport::writeFileText(stubborn, "#!/bin/sh\nwhile echo 'Formatting: 40%.'; do sleep 0.05; done\nexit 2\n");
    ::chmod(stubborn.c_str(), 0755);
    const fs::path payload = sys.Root() / "payload";
    fs::create_directories(payload);
    testsupport::writeFileBytes(payload / "KERNEL.SYS", testsupport::patternBytes(3000, 1));
    testsupport::writeFileBytes(payload / "FLASH.IMG", testsupport::patternBytes(100000, 2));
    const fs::path image = sys.MakeImage("sdb", 9ULL << 20);
    const QString offer = QString(usbtext::kOfferElevation).replace("\r\n", "\n");

    struct Case {
        const char* name;
        fs::path launcher;
        int answerToOffer;
        bool withKernel;
        bool cancel;
        int dialogResult;
        std::vector<QString> messages;
        bool childRan;  // else the dialog's own job ran
    };
    const Case cases[] = {
        {"formatted with rights", launcher, IDYES, true, false, IDOK,
         {text(IDS_CONFIRM_OVERWRITE_USB), offer, text(IDS_USB_FORMAT_DONE)}, true},
        {"the child's refusal is shown", launcher, IDYES, false, false, IDCANCEL,
         {text(IDS_CONFIRM_OVERWRITE_USB), offer,
          QString("KERNEL.SYS is missing or empty in %1.\n\nA disk without it could not start; nothing was written to "
                  "the USB flash device.").arg(QString::fromStdString(payload.string()))},
         true},
        {"offer declined", launcher, IDNO, true, false, IDOK,
         {text(IDS_CONFIRM_OVERWRITE_USB), offer, text(IDS_USB_FORMAT_DONE)}, false},
        {"cancel closes the child's output", stubborn, IDYES, true, true, IDCANCEL,
         {text(IDS_CONFIRM_OVERWRITE_USB), offer, text(IDS_CONFIRM_CANCEL_FORMAT)}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        messages.clear();
        requests.clear();
        testsupport::writeFileBytes(image, std::vector<std::uint8_t>(512, 0));
        fs::resize_file(image, 9ULL << 20);
        if (c.withKernel) testsupport::writeFileBytes(payload / "KERNEL.SYS", testsupport::patternBytes(3000, 1));
        else fs::remove(payload / "KERNEL.SYS");
        CFormatUsbDlg dialog(sys.Views(), payload, Worker(kWorkDone));
        dialog.SetElevation([](const std::string&) { return true; }, c.launcher.string(), PELLORIN_PROGRAM);
        dialog.show();
        answer = [&c, offer](const QString& body) {
            if (body == offer) return c.answerToOffer;
            return body == text(IDS_CONFIRM_OVERWRITE_USB) || body == text(IDS_CONFIRM_CANCEL_FORMAT) ? IDYES : IDOK;
        };
        QTest::mouseClick(dialog.GetDlgItem<QPushButton>(IDOK), Qt::LeftButton);
        if (c.cancel) {
            ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.GetDlgItem<QProgressBar>(IDC_PROGRESS)->value() == 40; }, 10000));
            QTest::mouseClick(dialog.GetDlgItem<QPushButton>(IDCANCEL), Qt::LeftButton);
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 30000));
        EXPECT_EQ(dialog.result(), c.dialogResult);
        EXPECT_EQ(messages, c.messages);
        EXPECT_EQ(requests.empty(), c.childRan);
        const auto bytes = testsupport::readFileBytes(image);
        EXPECT_EQ(bytes[510] == 0x55 && bytes[511] == 0xAA, c.childRan && c.dialogResult == IDOK);
    }
}

TEST_F(FormatUsbDialogTest, RendersTheFilledDialog) {
    CFormatUsbDlg dialog(sys.Views(), sys.Root(), Worker(kWorkDone));
    dialog.show();
    QDir().mkpath(QStringLiteral(DIALOG_PNG_DIR));
    EXPECT_TRUE(dialog.grab().save(QStringLiteral(DIALOG_PNG_DIR "/format_usb_130_drives.png")));
}

}  // namespace
