// dorvix in windowed mode with its real engines on image-file disks: the progress dialog and
// the message boxes run on this (the interface) thread while the main flow runs on a worker.
// Message boxes are answered by clicking their buttons.

#include "engines/Engines.h"
#include "front/MainFlow.h"
#include "front/StringTable.h"
#include "front/window/WindowedRun.h"
#include "platform/Console.h"

#include "DorvixTestSupport.h"
#include "TestSupport.h"
#include "VolumeFixtures.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>
#include <deque>
#include <fstream>
#include <functional>
#include <optional>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using dorvix::MessageBoxResult;
using dorvix::ProgressMessage;
using testsupport::TempDir;

bool haveTools() { return testsupport::haveProgram("mkfs.fat") && testsupport::haveProgram("mcopy"); }

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (m_old) ::setenv(m_name, m_old->c_str(), 1);
        else ::unsetenv(m_name);
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

// What the dialog showed after each message it handled.
struct Shown {
    ProgressMessage message;
    unsigned wParam;
    std::string text;
    QString heading;
    QString status;
    int bar;
    bool visible;
};

struct Box {
    QString title;
    QString text;
    bool hasCancel;
    QMessageBox::Icon icon;
    int width;
    int neededWidth;  // for the whole title
};

// Answers message boxes in order with the given buttons and records each one.
class BoxClicker {
public:
    explicit BoxClicker(std::deque<MessageBoxResult> answers) : m_answers(std::move(answers)) {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { poll(); });
        m_timer.start();
    }
    std::vector<Box> boxes;

private:
    void poll() {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            if (box == nullptr || !box->isVisible()) continue;
            boxes.push_back({box->windowTitle(), box->text(), box->button(QMessageBox::Cancel) != nullptr, box->icon(),
                             box->width(), dorvix::titleWidth(*box)});
            savePicture(*box, boxes.back());
            const MessageBoxResult answer = m_answers.empty() ? MessageBoxResult::Ok : m_answers.front();
            if (!m_answers.empty()) m_answers.pop_front();
            QAbstractButton* button =
                box->button(answer == MessageBoxResult::Ok ? QMessageBox::Ok : QMessageBox::Cancel);
            ASSERT_NE(button, nullptr);
            QTest::mouseClick(button, Qt::LeftButton);
            return;
        }
    }
    // The offscreen platform draws no frame: the picture gets a title bar drawn as a window
    // manager would, an icon and three buttons of twice the font's height beside the title, so
    // that a title too long for its box shows cut off.
    static QPixmap withTitleBar(QMessageBox& box) {
        const QPixmap body = box.grab();
        const QFont font = QApplication::font("QMdiSubWindowTitleBar");
        const int bar = 2 * QFontMetrics(font).height();
        QPixmap framed(body.width(), body.height() + bar);
        framed.fill(Qt::white);
        QPainter painter(&framed);
        painter.fillRect(0, 0, body.width(), bar, QColor(0x30, 0x40, 0x60));
        painter.setPen(Qt::white);
        for (int i = 1; i <= 3; ++i) painter.drawRect(body.width() - i * bar + 4, 4, bar - 8, bar - 8);
        painter.setFont(font);
        painter.drawText(QRect(bar, 0, body.width() - 4 * bar, bar), Qt::AlignVCenter | Qt::AlignLeft,
                         box.windowTitle());
        painter.drawPixmap(0, bar, body);
        return framed;
    }
    // Each kind of box is rendered once into the dialog folder next to the progress dialog's picture.
    static void savePicture(QMessageBox& box, const Box& seen) {
        const bool confirmation = seen.title.toStdString() == dorvix::text::kConfirmTitle;
        const char* name = confirmation                                 ? "dorvix_confirm.png"
                           : seen.hasCancel                             ? "dorvix_reboot.png"
                           : seen.icon == QMessageBox::Information      ? "dorvix_restart_by_hand.png"
                           : seen.text.contains(QStringLiteral("does not exist")) ? "dorvix_missing_image.png"
                                                                        : "dorvix_error.png";
        const fs::path picture = fs::path(DIALOG_PNG_DIR) / name;
        fs::create_directories(picture.parent_path());
        EXPECT_TRUE(withTitleBar(box).save(QString::fromStdString(picture.string()), "PNG"));
    }

    std::deque<MessageBoxResult> m_answers;
    QTimer m_timer;
};

// The engines read the device table once per process, so every test uses the same table and
// the same paths, made anew for each test.
const TempDir& disksDir() {
    static const TempDir dir;
    static const bool tableWritten = [] {
        testsupport::writeFileText(dir / "devices", "DSK1: " + (dir / "target.disk").string() + "\nDSK2: " +
                                                        (dir / "source.disk").string() + "\n");
        ::setenv("DORVIX_DEVICES", (dir / "devices").c_str(), 1);
        return true;
    }();
    (void)tableWritten;
    return dir;
}

// Image-file disks named in a device table: DSK1: a blank target, DSK2: a FAT16 source
// volume made by mkfs.fat and filled with mtools, and FLASH.IMG captured from DSK2:.
class WindowedRun : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveTools()) GTEST_SKIP() << "dosfstools or mtools missing";
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            if (entry.path().filename() != "devices") fs::remove_all(entry.path());
        }
        testsupport::DiskShape shape;
        shape.partitionSectors = 20480;
        ASSERT_TRUE(testsupport::makeFatDisk(source, shape));
        ASSERT_TRUE(testsupport::putFile(source, 32, "::/README.TXT", testsupport::patternBytes(5000, 1)));
        ASSERT_TRUE(testsupport::putFile(source, 32, "::/DATA.BIN", testsupport::patternBytes(300000, 2)));
        std::ofstream(target, std::ios::binary).close();
        fs::resize_file(target, 3 * 16065 * 512);
        {
            dorvixtest::ConsoleCapture quiet;
            ASSERT_EQ(dorvix::captureFatImage(dorvix::defaultDeviceProvider(), nullptr, 2, std::nullopt, image.string()), 0);
        }
    }

    // Runs dorvix with windows; every message the dialog handled ends up in `shown`.
    int run(const std::string& commandLine, std::deque<MessageBoxResult> answers = {}) {
        dorvixtest::ConsoleCapture console;
        dorvix::WindowHost host;
        host.setObserver([&](ProgressMessage message, unsigned wParam, const std::string& text) {
            auto* dialog = host.dialog();
            shown.push_back({message, wParam, text, dialog->heading()->text(), dialog->status()->text(),
                             dialog->bar()->value(), dialog->isVisible()});
            if (onShown) onShown(host);
        });
        BoxClicker clicker(std::move(answers));
        const int result = dorvix::runWithWindows(host, commandLine, dorvix::platformServices());
        boxes = clicker.boxes;
        for (const Box& b : boxes) {
            EXPECT_GE(b.width, b.neededWidth) << "title cut off: " << b.title.toStdString();
        }
        consoleText = console.output();
        dialogVisibleAtEnd = host.dialog() != nullptr && host.dialog()->isVisible();
        return result;
    }

    std::vector<std::string> statusTexts() const {
        std::vector<std::string> texts;
        for (const Shown& s : shown) {
            if (s.message == dorvix::UM_STATUSTEXT) texts.push_back(s.text);
        }
        return texts;
    }

    const TempDir& dir = disksDir();
    fs::path source = dir / "source.disk";
    fs::path target = dir / "target.disk";
    fs::path image = dir / "FLASH.IMG";
    fs::path marker = dir / "reset-requested";
    ScopedEnv noPause{"DORVIX_PAUSE_MS", "0"};
    ScopedEnv noSmbios{"DORVIX_SMBIOS_WINDOW", "/nonexistent"};
    ScopedEnv reset{"DORVIX_RESET_COMMAND", "touch " + testsupport::shellQuote(marker.string())};

    std::function<void(dorvix::WindowHost&)> onShown;
    std::vector<Shown> shown;
    std::vector<Box> boxes;
    std::string consoleText;
    bool dialogVisibleAtEnd = true;
};

// The dialog shows every text as it arrives, its bar ends at 100, and it closes last.
void expectDialogFollowedTheEngine(const std::vector<Shown>& shown) {
    ASSERT_FALSE(shown.empty());
    int lastProgress = -1;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const Shown& s = shown[i];
        switch (s.message) {
        case dorvix::UM_STATUSTEXT:
            EXPECT_EQ(s.status, dorvix::controlText(s.text)) << i;
            break;
        case dorvix::UM_HEADINGTEXT:
            EXPECT_EQ(s.heading, dorvix::controlText(s.text)) << i;
            break;
        case dorvix::UM_PROGRESS:
            EXPECT_EQ(s.bar, static_cast<int>(s.wParam)) << i;
            EXPECT_GE(static_cast<int>(s.wParam), lastProgress) << i;
            lastProgress = static_cast<int>(s.wParam);
            break;
        case dorvix::UM_CLOSEPROGRESS:
            EXPECT_EQ(i, shown.size() - 1) << "the dialog closes after the engine";
            EXPECT_FALSE(s.visible);
            break;
        }
        if (s.message != dorvix::UM_CLOSEPROGRESS) {
            EXPECT_TRUE(s.visible) << i;
        }
    }
    EXPECT_EQ(lastProgress, 100);
    EXPECT_EQ(shown.back().message, dorvix::UM_CLOSEPROGRESS);
}

TEST_F(WindowedRun, RestoreShowsTheEngineInTheDialogAndIsRenderedToAPicture) {
    const fs::path picture = fs::path(DIALOG_PNG_DIR) / "dorvix_progress.png";
    fs::create_directories(picture.parent_path());
    fs::remove(picture);
    onShown = [&](dorvix::WindowHost& host) {
        const Shown& s = shown.back();
        if (s.message == dorvix::UM_PROGRESS && s.wParam >= 40 && !fs::exists(picture)) {
            EXPECT_TRUE(host.dialog()->grab().save(QString::fromStdString(picture.string()), "PNG"));
        }
    };
    EXPECT_EQ(run("-w -y -nor " + image.string()), 0) << consoleText;
    expectDialogFollowedTheEngine(shown);
    const auto texts = statusTexts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.front(), dorvix::text::kHeaderValidating);
    EXPECT_NE(std::find(texts.begin(), texts.end(), dorvix::text::kRestoreExtracting), texts.end());
    EXPECT_EQ(texts.back().rfind("Completed successfully!", 0), 0u) << texts.back();
    EXPECT_TRUE(boxes.empty());
    EXPECT_FALSE(dialogVisibleAtEnd);
    EXPECT_EQ(consoleText.find("QZ Keldan"), std::string::npos);  // no banner with a window
    EXPECT_TRUE(fs::exists(picture));
    bool ok = false;
    EXPECT_EQ(testsupport::getFile(target, 63, "::/DATA.BIN", ok), testsupport::patternBytes(300000, 2));
    EXPECT_TRUE(ok);
}

TEST_F(WindowedRun, EscAndTheCloseBoxDuringARunLeaveTheDialogShowingTheRun) {
    int tries = 0;
    onShown = [&](dorvix::WindowHost& host) {
        const Shown& s = shown.back();
        if (s.message == dorvix::UM_PROGRESS && s.wParam > 0 && s.wParam < 100 && tries < 3) {
            ++tries;
            QTest::keyClick(host.dialog(), Qt::Key_Escape);
            host.dialog()->close();
            EXPECT_TRUE(host.dialog()->isVisible());
        }
    };
    EXPECT_EQ(run("-w -y " + image.string()), 0) << consoleText;
    EXPECT_GT(tries, 0);
    expectDialogFollowedTheEngine(shown);  // every later message found the dialog visible
    EXPECT_FALSE(dialogVisibleAtEnd);
    EXPECT_TRUE(fs::exists(marker));
    bool ok = false;
    EXPECT_EQ(testsupport::getFile(target, 63, "::/DATA.BIN", ok), testsupport::patternBytes(300000, 2));
    EXPECT_TRUE(ok);
}

TEST_F(WindowedRun, MissingImageBoxNamesTheFile) {
    const fs::path missing = dir / "no such folder" / "FLASH.IMG";
    EXPECT_EQ(run("-w -y \"" + missing.string() + "\""), 1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text.toStdString(), "ERROR: The image file does not exist.\n\n" + missing.string());
    EXPECT_EQ(boxes[0].icon, QMessageBox::Critical);
    EXPECT_FALSE(fs::exists(marker));
}

TEST_F(WindowedRun, WithoutAResetTheBoxSaysRestartByHandNotReboot) {
    ScopedEnv noReset{"DORVIX_RESET_COMMAND", ""};
    EXPECT_EQ(run("-w " + image.string()), 0) << consoleText;
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].title.toStdString(), dorvix::text::kConfirmTitle);
    EXPECT_EQ(boxes[1].title.toStdString(), dorvix::text::kErrorTitle);
    EXPECT_EQ(boxes[1].text.toStdString(), "The device must now be restarted by hand.");
    EXPECT_EQ(boxes[1].icon, QMessageBox::Information);
    EXPECT_FALSE(boxes[1].hasCancel);
    EXPECT_EQ(consoleText.find("rebooted"), std::string::npos);
    EXPECT_FALSE(fs::exists(marker));
}

TEST_F(WindowedRun, CaptureShowsItsHeadingAndReachesHundred) {
    const fs::path out = dir / "CAPTURE.IMG";
    EXPECT_EQ(run("-imgcopy -w -nor -td:2 " + out.string()), 0) << consoleText;
    expectDialogFollowedTheEngine(shown);
    auto heading = std::find_if(shown.begin(), shown.end(),
                                [](const Shown& s) { return s.message == dorvix::UM_HEADINGTEXT; });
    ASSERT_NE(heading, shown.end());
    EXPECT_EQ(heading->heading.toStdString(), dorvix::text::kCopyingHeading);
    EXPECT_TRUE(boxes.empty());
    ASSERT_TRUE(fs::exists(out));
    EXPECT_GT(fs::file_size(out), 512u);
}

TEST_F(WindowedRun, EngineErrorIsShownInABoxWithTheErrorTitle) {
    auto bytes = testsupport::readFileBytes(image);
    bytes[100] ^= 0xFF;  // the header's checksum no longer holds
    testsupport::writeFileBytes(image, bytes);
    const auto before = testsupport::readFileBytes(target);
    EXPECT_EQ(run("-w -y " + image.string()), -1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title.toStdString(), dorvix::text::kErrorTitle);
    EXPECT_EQ(boxes[0].text, dorvix::controlText(dorvix::text::kHeaderInvalid));
    EXPECT_FALSE(boxes[0].hasCancel);
    EXPECT_EQ(boxes[0].icon, QMessageBox::Critical);
    EXPECT_EQ(shown.back().message, dorvix::UM_CLOSEPROGRESS);
    EXPECT_FALSE(fs::exists(marker));  // a failed run never resets
    EXPECT_TRUE(testsupport::readFileBytes(target) == before);
}

TEST_F(WindowedRun, NamedWindowWithWindowedFlagAsksInBoxesAndReportsThroughTheChannel) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    const auto before = testsupport::readFileBytes(target);
    EXPECT_EQ(run("-pm:" + std::to_string(fds[0]) + " -w " + image.string(), {MessageBoxResult::Cancel}), 1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title.toStdString(), dorvix::text::kConfirmTitle);
    EXPECT_TRUE(shown.empty());  // no progress dialog with a named window
    std::string lines(256, '\0');
    lines.resize(static_cast<std::size_t>(::recv(fds[1], lines.data(), lines.size(), MSG_DONTWAIT)));
    EXPECT_EQ(lines, "dorvix-progress 1\nclose\n");
    EXPECT_TRUE(testsupport::readFileBytes(target) == before);
    ::close(fds[0]);
    ::close(fds[1]);
}

struct QuestionCase {
    const char* name;
    const char* options;
    std::deque<MessageBoxResult> answers;
    std::vector<std::string> titles;  // the boxes shown, in order
    int exitCode;
    bool reset;
    bool diskWritten;
};

class WindowedQuestions : public WindowedRun, public ::testing::WithParamInterface<QuestionCase> {};

TEST_P(WindowedQuestions, BoxesDecideAsTheOperatorAnswers) {
    const QuestionCase& c = GetParam();
    const auto before = testsupport::readFileBytes(target);
    EXPECT_EQ(run(std::string(c.options) + " " + image.string(), c.answers), c.exitCode);
    std::vector<std::string> titles;
    for (const Box& b : boxes) titles.push_back(b.title.toStdString());
    EXPECT_EQ(titles, c.titles);
    for (const Box& b : boxes) {
        EXPECT_TRUE(b.hasCancel);
        const bool confirmation = b.title.toStdString() == dorvix::text::kConfirmTitle;
        EXPECT_EQ(b.text, dorvix::controlText(confirmation ? dorvix::text::kConfirmBox : dorvix::text::kRebootBox));
        EXPECT_EQ(b.icon, confirmation ? QMessageBox::Question : QMessageBox::Information);
    }
    EXPECT_EQ(fs::exists(marker), c.reset);
    EXPECT_EQ(testsupport::readFileBytes(target) != before, c.diskWritten);
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back().message, dorvix::UM_CLOSEPROGRESS);
    EXPECT_FALSE(dialogVisibleAtEnd);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WindowedQuestions,
    ::testing::Values(
        QuestionCase{"CancelAtConfirmation", "-w", {MessageBoxResult::Cancel}, {dorvix::text::kConfirmTitle}, 1,
                     false, false},
        QuestionCase{"CancelAtRebootStillResets",
                     "-w",
                     {MessageBoxResult::Ok, MessageBoxResult::Cancel},
                     {dorvix::text::kConfirmTitle, dorvix::text::kErrorTitle},
                     0,
                     true,
                     true},
        QuestionCase{"AssumeYesNeverAsks", "-y -w", {}, {}, 0, true, true}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
