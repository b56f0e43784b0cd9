#include "front/window/ProgressDialogWindow.h"

#include "front/StringTable.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>

namespace dorvix {

namespace {

// Dialog units: a quarter of the font's average character width across, an eighth of its
// height down (the average width taken over the 52 letters, as dialog templates measure it).
struct DialogUnits {
    int baseX;
    int baseY;
    explicit DialogUnits(const QFont& font) {
        const QFontMetrics metrics(font);
        const int letters = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
        // A system without fonts measures nothing: then the base units of the System font.
        baseX = letters > 0 ? (letters / 26 + 1) / 2 : 8;
        baseY = metrics.height() > 0 ? metrics.height() : 16;
    }
    QRect rect(int x, int y, int width, int height) const {
        return QRect(x * baseX / 4, y * baseY / 8, width * baseX / 4, height * baseY / 8);
    }
};

QLabel* makeLabel(QWidget* parent, const char* id, Qt::Alignment alignment, const char* initial) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(id));
    label->setTextFormat(Qt::PlainText);  // a text with "<" is still shown as it stands
    label->setWordWrap(true);
    label->setAlignment(alignment);
    label->setText(controlText(initial));
    return label;
}

int halfTowardMinusInfinity(int value) { return value >= 0 ? value / 2 : -((-value + 1) / 2); }

}  // namespace

QString controlText(std::string_view text) {
    QString out = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    out.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return out;
}

ProgressDialogWindow::ProgressDialogWindow()
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint) {
    setObjectName(QStringLiteral("106"));
    setWindowTitle(QString::fromUtf8(text::kDialogTitle));
    const DialogUnits units(font());
    const QRect client = units.rect(0, 0, 225, 87);
    setFixedSize(client.size());

    m_heading = makeLabel(this, "1005", Qt::AlignLeft | Qt::AlignTop, text::kDialogHeading);
    m_heading->setGeometry(units.rect(5, 5, 210, 20));
    m_status = makeLabel(this, "1004", Qt::AlignCenter, text::kDialogStatus);
    m_status->setGeometry(units.rect(5, 35, 215, 25));

    m_bar = new QProgressBar(this);
    m_bar->setObjectName(QStringLiteral("1000"));
    m_bar->setRange(0, 100);
    m_bar->setValue(0);
    m_bar->setTextVisible(false);
    m_bar->setGeometry(units.rect(5, 65, 215, 15));
}

void ProgressDialogWindow::showCentred() {
    winId();  // the platform window, and with it the frame that is centred, exists from here
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen != nullptr) {
        const QRect area = screen->geometry();
        const QSize window = frameGeometry().size();
        move(area.x() + halfTowardMinusInfinity(area.width()) - halfTowardMinusInfinity(window.width()),
             area.y() + halfTowardMinusInfinity(area.height()) - halfTowardMinusInfinity(window.height()));
    }
    show();
}

void ProgressDialogWindow::reject() {}

void ProgressDialogWindow::closeEvent(QCloseEvent* event) { event->ignore(); }

void ProgressDialogWindow::handleMessage(ProgressMessage message, unsigned wParam, std::string_view text) {
    switch (message) {
    case UM_PROGRESS:
        m_bar->setValue(static_cast<int>(std::min(wParam, 100u)));
        return;
    case UM_STATUSTEXT:
        m_status->setText(controlText(text));
        return;
    case UM_HEADINGTEXT:
        m_heading->setText(controlText(text));
        return;
    case UM_CLOSEPROGRESS:
        done(1);
        return;
    }
}

}  // namespace dorvix
