// The "Format USB Drive" dialog on a made-up machine, with a stand-in for the format job: the
// drive list and "&Update Drives", the checks and the confirmation of "&Format", the disabled
// buttons and the progress while the job runs, cancel (question 15), and how each outcome ends
// the dialog. The filled dialog is rendered to a PNG beside the other dialogs' pictures.

#include "app/WorkDialogs.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include "jobs/StringTable.h"
#include "jobs/WorkResult.h"

#include "UsbFakeSystem.h"

#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fstream>
#include <cstdlib>
#include <functional>
#include <memory>
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

TEST_F(FormatUsbDialogTest, ListsOnlyDisksThatCanBeFormattedAndUpdatesThem) {
    CFormatUsbDlg dialog(sys.Views(), sys.Root(), Worker(kWorkDone));
    dialog.show();
    QListWidget* list = dialog.DriveList();
    // The SATA disk is never offered.
    ASSERT_EQ(list->count(), 1);
    EXPECT_EQ(list->item(0)->text(), "sdb 14.9 GiB");
    EXPECT_EQ(list->item(0)->toolTip().toStdString(), (sys.Dev() / "sdb").string() + ", Acme Stick");
    EXPECT_EQ(dialog.ChosenDevice(), (sys.Dev() / "sdb").string());

    sys.AddDisk({"sdc", "250:32", testing_support::kUsbBusPath2, "0", 2000000, {}});
    QTest::mouseClick(dialog.GetDlgItem<QPushButton>(IDC_UPDATE_DRIVES), Qt::LeftButton);
    EXPECT_EQ(list->count(), 2);
    // Scrolling the row chooses another disk, whatever is highlighted.
    list->setCurrentRow(0);
    list->scrollToItem(list->item(1), QAbstractItemView::PositionAtTop);
    EXPECT_EQ(dialog.ChosenDevice(), (sys.Dev() / "sdc").string());

    // A stick pulled or plugged in shows without the button; the chosen disk stays chosen.
    sys.AddDisk({"sdd", "250:48", "pci0000:00/usb3/3-1/3-1:1.0/host8/target8:0:0/8:0:0:0", "0", 2000000, {}});
    dialog.RefreshIfChanged();
    ASSERT_EQ(list->count(), 3);
    EXPECT_EQ(dialog.ChosenDevice(), (sys.Dev() / "sdc").string());
    EXPECT_TRUE(messages.empty());
}

// With no disk that can be formatted (here: the only stick holds the root file system), the
// row says so, nothing is chosen and "&Format" cannot be pressed; a stick plugged in later is
// offered.
TEST_F(FormatUsbDialogTest, WithNoFormattableDiskTheRowSaysSoAndFormatIsDisabled) {
    FakeSystem machine;
    machine.AddDisk({"sda", "250:0", testing_support::kSataBusPath, "0", 1000000, {"sda1"}});
    machine.AddDisk({"sdb", "250:16", testing_support::kUsbBusPath, "0", 31260672, {"sdb1"}});
    machine.AddMount("250:17", "/");
    CFormatUsbDlg dialog(machine.Views(), machine.Root(), Worker(kWorkDone));
    dialog.show();
    QListWidget* list = dialog.DriveList();
    ASSERT_EQ(list->count(), 1);
    EXPECT_EQ(list->item(0)->text(), QString::fromUtf8(usbtext::kNoFormattableDisk));
    EXPECT_EQ(dialog.ChosenDevice(), "");
    EXPECT_FALSE(dialog.GetDlgItem<QPushButton>(IDOK)->isEnabled());
    QTest::keyClick(&dialog, Qt::Key_Return);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(requests.empty());
    EXPECT_TRUE(messages.empty());
    QDir().mkpath(QStringLiteral(DIALOG_PNG_DIR));
    EXPECT_TRUE(dialog.grab().save(QStringLiteral(DIALOG_PNG_DIR "/format_usb_130_no_disk.png")));

    machine.AddDisk({"sdc", "250:32", testing_support::kUsbBusPath2, "0", 2000000, {}});
    dialog.RefreshIfChanged();
    EXPECT_EQ(dialog.ChosenDevice(), (machine.Dev() / "sdc").string());
    EXPECT_TRUE(dialog.GetDlgItem<QPushButton>(IDOK)->isEnabled());
}

TEST_F(FormatUsbDialogTest, FormatChecksAsksAndEnds) {
    std::vector<std::unique_ptr<FakeSystem>> machines;
    for (int i = 0; i < 5; ++i) machines.push_back(std::make_unique<FakeSystem>());
    const fs::path s_dev = machines[0]->Dev();
    struct Case {
        const char* name;
        std::function<void(FakeSystem&, QListWidget&)> arrange;
        int answerTo27;
        int jobResult;
        std::vector<QString> messages;
        bool jobRuns;
        int dialogResult;
    };
    // A refusal leaves the dialog open (result 0) with its buttons enabled, so that the user can
    // do what the message says.
    const Case cases[] = {
        {"disk now holds the system", [](FakeSystem& s, QListWidget&) { s.AddMount("250:17", "/"); },
         IDYES, kWorkDone,
         {QString::fromStdString((s_dev / "sdb").string() + " cannot be formatted: it holds the running system.")},
         false, 0},
        {"disk gone since the list", [](FakeSystem& s, QListWidget&) { fs::remove_all(s.Sys() / "block/sdb"); },
         IDYES, kWorkDone, {text(IDS_NETWORK_DRIVE)}, false, 0},
        {"no to the confirmation", {}, IDNO, kWorkDone, {text(IDS_CONFIRM_OVERWRITE_USB)}, false, IDCANCEL},
        {"formatted", {}, IDYES, kWorkDone, {text(IDS_CONFIRM_OVERWRITE_USB), text(IDS_USB_FORMAT_DONE)}, true, IDOK},
        {"job failed and said so", {}, IDYES, kWorkFailed, {text(IDS_CONFIRM_OVERWRITE_USB)}, true, IDCANCEL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        messages.clear();
        requests.clear();
        FakeSystem& machine = *machines[&c - cases];
        machine.AddDisk({"sda", "250:0", testing_support::kSataBusPath, "0", 1000000, {}});
        machine.AddDisk({"sdb", "250:16", testing_support::kUsbBusPath, "0", 31260672, {"sdb1"}});
        CFormatUsbDlg dialog(machine.Views(), machine.Root(), Worker(c.jobResult));
        dialog.show();
        if (c.arrange) c.arrange(machine, *dialog.DriveList());
        answer = [&c](const QString& body) { return body == text(IDS_CONFIRM_OVERWRITE_USB) ? c.answerTo27 : IDOK; };
        QTest::mouseClick(dialog.GetDlgItem<QPushButton>(IDOK), Qt::LeftButton);
        if (c.dialogResult == 0) {
            EXPECT_TRUE(dialog.isVisible());
            EXPECT_TRUE(dialog.GetDlgItem<QPushButton>(IDC_UPDATE_DRIVES)->isEnabled());
            EXPECT_EQ(messages, c.messages);
            EXPECT_TRUE(requests.empty());
            continue;
        }
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

// The real job on an image file standing for the stick. Cancel is pressed at two points:
// while the job still prepares the disk (held in its exclusive open): question 15 is asked and
// Yes stops the job before its first write; and once the read-back has begun (the commit),
// when no question is asked and the format ends as done.
class HeldOpenPlatform : public CUsbPlatform {
public:
    HeldOpenPlatform(SystemViews views, std::atomic<bool>& entered, std::atomic<bool>& release)
        : CUsbPlatform(std::move(views)), m_entered(entered), m_release(release) {}
    std::unique_ptr<CFileHandle> OpenExclusive(const std::string& devicePath) override {
        m_entered = true;
        while (!m_release) QThread::msleep(5);
        return CUsbPlatform::OpenExclusive(devicePath);
    }

private:
    std::atomic<bool>& m_entered;
    std::atomic<bool>& m_release;
};

TEST_F(FormatUsbDialogTest, CancelBeforeTheFirstWriteStopsAndAfterTheCommitIsTooLate) {
    const fs::path payload = sys.Root() / "payload";
    fs::create_directories(payload);
    testsupport::writeFileBytes(payload / "KERNEL.SYS", testsupport::patternBytes(3000, 1));
    testsupport::writeFileBytes(payload / "FLASH.IMG", testsupport::patternBytes(100000, 2));
    const fs::path image = sys.MakeImage("sdb", 9ULL << 20);
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    const UsbFormatWorker worker = [&](const UsbFormatRequest& request, CIsoJobView& view) {
        HeldOpenPlatform platform(sys.Views(), entered, release);
        return FormatUsbDrive(request, platform, view);
    };
    answer = [](const QString&) { return IDYES; };

    {
        SCOPED_TRACE("early");
        CFormatUsbDlg dialog(sys.Views(), payload, worker);
        dialog.show();
        QTest::mouseClick(dialog.GetDlgItem<QPushButton>(IDOK), Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return entered.load(); }, 10000));
        QTest::mouseClick(dialog.GetDlgItem<QPushButton>(IDCANCEL), Qt::LeftButton);
        release = true;
        ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 10000));
        EXPECT_EQ(dialog.result(), IDCANCEL);
        EXPECT_EQ(messages, (std::vector<QString>{text(IDS_CONFIRM_OVERWRITE_USB), text(IDS_CONFIRM_CANCEL_FORMAT)}));
        const auto bytes = testsupport::readFileBytes(image);
        EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; }))
            << "written although cancelled before the first write";
    }
    {
        SCOPED_TRACE("late");
        messages.clear();
        CFormatUsbDlg dialog(sys.Views(), payload, worker);
        bool pressed = false;
        QObject::connect(
            &dialog, &CFormatUsbDlg::statusPosted, &dialog,
            [&](const QString& status) {
                if (pressed || status != QString::fromUtf8(usbtext::kVerifying)) return;
                pressed = true;
                QTest::mouseClick(dialog.GetDlgItem<QPushButton>(IDCANCEL), Qt::LeftButton);
            },
            Qt::QueuedConnection);
        dialog.show();
        QTest::mouseClick(dialog.GetDlgItem<QPushButton>(IDOK), Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 30000));
        EXPECT_TRUE(pressed);
        EXPECT_EQ(dialog.result(), IDOK);
        EXPECT_EQ(messages, (std::vector<QString>{text(IDS_CONFIRM_OVERWRITE_USB), text(IDS_USB_FORMAT_DONE)}));
        const auto bytes = testsupport::readFileBytes(image);
        EXPECT_TRUE(bytes[510] == 0x55 && bytes[511] == 0xAA);
    }
}

#if PELLORIN_VIEW_OPTIONS
// Where the disk cannot be written, "&Format" offers to run the job with administrator rights:
// the launcher (here a script standing for pkexec) runs pellorin's own "usb" command, whose
// progress and messages reach the dialog. The dialog hands over only the disk, the payload
// folder and --yes (the elevated run reads the kernel's own views); this launcher, which is no
// elevated run, adds the made-up machine's views to what it was given.
TEST_F(FormatUsbDialogTest, OffersAdministratorRightsAndShowsTheChildsJob) {
    const fs::path launcher = sys.Root() / "launcher";
    const SystemViews views = sys.Views();
    testsupport::writeFileText(launcher, "#!/bin/sh\n"
                                         "case \"$*\" in *--sysfs*|*--dev-dir*) echo \"views passed: $*\"; exit 99;; esac\n"
                                         "exec env -u PKEXEC_UID -u SUDO_UID \"$@\" --sysfs '" + views.sysfsRoot.string() +
                                         "' --mountinfo '" + views.mountInfo.string() + "' --swaps '" +
                                         views.swaps.string() + "' --dev-dir '" + views.devRoot.string() + "'\n");
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

#endif  // PELLORIN_VIEW_OPTIONS: the launcher hands the built program the staged views

// The application dying while the elevated child writes (killed, crashed) closes the child's
// output: the child ends at its next progress line instead of writing on unseen. The test runs
// itself as the application, starts a child that prints progress forever, kills the
// application and watches the child end.
TEST_F(FormatUsbDialogTest, TheChildEndsWhenTheApplicationDies) {
    const QByteArray pidFile = qgetenv("PELLORIN_CHILD_PID_FILE");
    if (!pidFile.isEmpty()) {
        const fs::path child = sys.Root() / "child";
        testsupport::writeFileText(child, "#!/bin/sh\necho $$ > '" + pidFile.toStdString() +
                                              "'\nwhile echo 'Formatting: 40%.'; do sleep 0.05; done\nexit 2\n");
        ::chmod(child.c_str(), 0755);
        CFormatUsbDlg dialog(sys.Views(), sys.Root(), Worker(kWorkDone));
        dialog.SetElevation([](const std::string&) { return true; }, child.string(), PELLORIN_PROGRAM);
        dialog.show();
        answer = [](const QString&) { return IDYES; };
        QTest::mouseClick(dialog.GetDlgItem<QPushButton>(IDOK), Qt::LeftButton);
        QTest::qWait(60000);  // killed long before
        return;
    }
    const fs::path pids = sys.Root() / "child.pid";
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    ::setenv("PELLORIN_CHILD_PID_FILE", pids.c_str(), 1);
    pid_t app = ::fork();
    if (app == 0) {
        ::execl(self.c_str(), self.c_str(), "--gtest_filter=FormatUsbDialogTest.TheChildEndsWhenTheApplicationDies",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::unsetenv("PELLORIN_CHILD_PID_FILE");
    ASSERT_GE(app, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return fs::exists(pids) && fs::file_size(pids) > 0; }, 30000));
    QTest::qWait(300);  // the child is writing its progress
    const auto bytes = testsupport::readFileBytes(pids);
    const pid_t child = std::stoi(std::string(bytes.begin(), bytes.end()));
    const auto running = [child] {
        std::ifstream stat("/proc/" + std::to_string(child) + "/stat");
        std::string pid, name, state;
        return stat >> pid >> name >> state && state != "Z" && state != "X";
    };
    ASSERT_TRUE(running());
    ::kill(app, SIGKILL);
    int status = 0;
    ::waitpid(app, &status, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !running(); }, 5000)) << "the child writes on";
    if (running()) ::kill(child, SIGKILL);
}

// The one-row list shows its whole entry, with no scroll bar over it and no half row below, at
// the normal size, at a font DPI of 144 and at a scale of 1.5. Each size needs its own
// application, so the test runs itself once per size; each run saves a picture.
TEST_F(FormatUsbDialogTest, TheRowShowsTheWholeEntryAtEverySize) {
    const QByteArray picture = qgetenv("PELLORIN_ROW_PICTURE");
    if (picture.isEmpty()) {
        const std::string self = fs::read_symlink("/proc/self/exe").string();
        for (const char* size : {"normal", "dpi144", "scale150"}) {
            SCOPED_TRACE(size);
            const std::string env = std::string(size) == "dpi144"     ? "QT_FONT_DPI=144 "
                                    : std::string(size) == "scale150" ? "QT_SCALE_FACTOR=1.5 "
                                                                      : "";
            const std::string command = "env " + env + "PELLORIN_ROW_PICTURE=" + size + " '" + self +
                                        "' --gtest_filter=FormatUsbDialogTest.TheRowShowsTheWholeEntryAtEverySize"
                                        " >/dev/null 2>&1";
            EXPECT_EQ(std::system(command.c_str()), 0) << command;
        }
        return;
    }
    FakeSystem machine;
    machine.AddDisk({"sdaa", "65:160", testing_support::kUsbBusPath, "0", 3907029168ULL, {}});
    machine.AddDisk({"sdab", "65:176", testing_support::kUsbBusPath2, "0", 2000000, {}});
    CFormatUsbDlg dialog(machine.Views(), machine.Root(), Worker(kWorkDone));
    dialog.show();
    QListWidget* list = dialog.DriveList();
    ASSERT_EQ(list->count(), 2);
    EXPECT_FALSE(list->horizontalScrollBar()->isVisible());
    const QRect viewport = list->viewport()->rect();
    const QRect row = list->visualItemRect(list->item(0));
    EXPECT_TRUE(viewport.contains(row)) << "the row is cut";
    EXPECT_LE(viewport.height(), row.height()) << "part of the next row shows";
    EXPECT_LE(list->fontMetrics().horizontalAdvance(list->item(0)->text()), row.width());
    EXPECT_TRUE(dialog.rect().contains(list->geometry()));
    QDir().mkpath(QStringLiteral(DIALOG_PNG_DIR));
    EXPECT_TRUE(dialog.grab().save(QStringLiteral(DIALOG_PNG_DIR "/format_usb_130_row_%1.png").arg(QString::fromUtf8(picture))));
}

TEST_F(FormatUsbDialogTest, RendersTheFilledDialog) {
    CFormatUsbDlg dialog(sys.Views(), sys.Root(), Worker(kWorkDone));
    dialog.show();
    QDir().mkpath(QStringLiteral(DIALOG_PNG_DIR));
    EXPECT_TRUE(dialog.grab().save(QStringLiteral(DIALOG_PNG_DIR "/format_usb_130_drives.png")));
}

}  // namespace
