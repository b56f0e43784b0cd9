// The progress dialog by itself: controls found by their ids, the system's texts, a layout in
// dialog units that keeps the controls apart and inside the dialog, centred and on top, and
// the four messages.

#include "front/StringTable.h"
#include "front/window/ProgressDialogWindow.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using dorvix::ProgressDialogWindow;

TEST(ProgressDialogWindow, ControlsTextsAndLayout) {
    ProgressDialogWindow dialog;
    EXPECT_EQ(dialog.windowTitle().toStdString(), dorvix::text::kDialogTitle);
    auto* heading = dialog.findChild<QLabel*>("1005");
    auto* status = dialog.findChild<QLabel*>("1004");
    auto* bar = dialog.findChild<QProgressBar*>("1000");
    ASSERT_NE(heading, nullptr);
    ASSERT_NE(status, nullptr);
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(heading->text().toStdString(), dorvix::text::kDialogHeading);
    EXPECT_EQ(status->text().toStdString(), dorvix::text::kDialogStatus);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(bar->maximum(), 100);
    EXPECT_TRUE(dialog.windowFlags() & Qt::WindowStaysOnTopHint);

    // Top to bottom, apart from each other, inside the dialog; the dialog is wider than tall
    // as 225 x 87 dialog units are.
    const QRect inside = dialog.rect();
    for (QWidget* control : {static_cast<QWidget*>(heading), static_cast<QWidget*>(status), static_cast<QWidget*>(bar)}) {
        EXPECT_TRUE(inside.contains(control->geometry())) << control->objectName().toStdString();
        EXPECT_GT(control->height(), 0);
    }
    EXPECT_LE(heading->geometry().bottom(), status->geometry().top());
    EXPECT_LE(status->geometry().bottom(), bar->geometry().top());
    EXPECT_GT(dialog.width(), 2 * dialog.height());
    // The heading (two lines' worth of height) holds two lines of the dialog's font.
    EXPECT_GE(heading->height(), 2 * QFontMetrics(dialog.font()).height() - 1);

    dialog.showCentred();
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_LE(std::abs(dialog.frameGeometry().center().x() - screen.center().x()), 1);
    EXPECT_LE(std::abs(dialog.frameGeometry().center().y() - screen.center().y()), 1);
    EXPECT_TRUE(dialog.isVisible());
}

TEST(ProgressDialogWindow, MessagesChangeTheControlsAndCloseEndsIt) {
    ProgressDialogWindow dialog;
    dialog.showCentred();
    dialog.handleMessage(dorvix::UM_PROGRESS, 57, {});
    EXPECT_EQ(dialog.bar()->value(), 57);
    dialog.handleMessage(dorvix::UM_PROGRESS, 250, {});
    EXPECT_EQ(dialog.bar()->value(), 100);
    // Texts stand as they are: line ends become line breaks, "<" is not markup.
    dialog.handleMessage(dorvix::UM_STATUSTEXT, 0, "Copying folder and data areas....\r\n<b>x</b>");
    EXPECT_EQ(dialog.status()->text(), QStringLiteral("Copying folder and data areas....\n<b>x</b>"));
    EXPECT_EQ(dialog.status()->textFormat(), Qt::PlainText);
    dialog.handleMessage(dorvix::UM_HEADINGTEXT, 0, "Copying volume to KMV file, one moment please...");
    EXPECT_EQ(dialog.heading()->text(), QStringLiteral("Copying volume to KMV file, one moment please..."));
    dialog.handleMessage(dorvix::UM_CLOSEPROGRESS, 0, {});
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), 1);
}

TEST(ProgressDialogWindow, EscAndTheCloseBoxLeaveItOpenOnlyItsCloseMessageEndsIt) {
    ProgressDialogWindow dialog;
    dialog.showCentred();
    QTest::keyClick(&dialog, Qt::Key_Escape);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_FALSE(dialog.close());  // what the close box of the frame does
    EXPECT_TRUE(dialog.isVisible());
    dialog.handleMessage(dorvix::UM_PROGRESS, 30, {});
    EXPECT_EQ(dialog.bar()->value(), 30);
    dialog.handleMessage(dorvix::UM_CLOSEPROGRESS, 0, {});
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), 1);
}

}  // namespace
