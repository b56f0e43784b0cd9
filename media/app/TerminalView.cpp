#include "app/TerminalView.h"

#include "jobs/StringTable.h"

#include <algorithm>
#include <cctype>
#include <istream>

namespace pellorin {

std::string RenderProgressLine(int nPercent, std::string_view status, std::size_t barWidth) {
    const int percent = std::clamp(nPercent, 0, 100);
    const std::size_t filled = barWidth * static_cast<std::size_t>(percent) / 100;
    std::string line = "[";
    line.append(filled, '#').append(barWidth - filled, ' ').append("] ");
    const std::string number = std::to_string(percent);
    line.append(3 - number.size(), ' ').append(number).append("% ").append(status);
    return line;
}

std::string TerminalText(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out.push_back(text[i]);
    }
    return out;
}

bool ReadYesAnswer(std::istream& in) {
    std::string answer;
    if (!std::getline(in, answer)) return false;
    std::string word;
    for (unsigned char c : answer) {
        if (!std::isspace(c)) word.push_back(static_cast<char>(std::tolower(c)));
    }
    return word == "y" || word == "yes";
}

CTerminalIsoView::CTerminalIsoView(std::FILE* err, bool bIsTerminal)
    : m_err(err), m_bIsTerminal(bIsTerminal), m_previousHook(SetTraceOutputHook({endBarLine, this})) {}

CTerminalIsoView::~CTerminalIsoView() { SetTraceOutputHook(m_previousHook); }

void CTerminalIsoView::endBarLine(void* self) {
    auto* view = static_cast<CTerminalIsoView*>(self);
    if (!view->m_bLineOpen) return;
    std::fputc('\n', view->m_err);
    std::fflush(view->m_err);
    view->m_bLineOpen = false;
}

void CTerminalIsoView::SetProgressRange(int nLower, int nUpper) {
    m_nLower = nLower;
    m_nUpper = nUpper > nLower ? nUpper : nLower + 1;
}

void CTerminalIsoView::SetProgressPos(int nPos) {
    m_nPos = nPos;
    m_bPosSeen = true;
    m_bDirty = true;
}

void CTerminalIsoView::SetStatusText(std::string_view text) {
    m_strStatus = text;
    if (m_bPosSeen) {
        m_bDirty = true;  // shown with the bar at the next pump, as a window repaints
    } else {
        draw();
    }
}

void CTerminalIsoView::ShowWarning(std::string_view text) {
    Finish();
    std::fprintf(m_err, "%s: %s\n", std::string(kAppName).c_str(), TerminalText(text).c_str());
    std::fflush(m_err);
}

void CTerminalIsoView::ShowMissingPayload(std::string_view path) {
    Finish();
    std::fprintf(m_err, "%s: %s%s\n", std::string(kAppName).c_str(), std::string(cli::kMissingPayload).c_str(),
                 std::string(path).c_str());
    std::fflush(m_err);
}

void CTerminalIsoView::PumpOneMessage() {
    if (m_bDirty) draw();
    // The terminal's one kind of message: Ctrl-C, which cancels as a confirmed Cancel does.
    if (!m_bCommitting && CInterruptGuard::TakeInterrupt() && ClaimCancel()) {
        Finish();
        std::fprintf(m_err, "%s\n", std::string(cli::kCancelled).c_str());
        std::fflush(m_err);
    }
}

void CTerminalIsoView::BeginCommit() {
    PumpOneMessage();
    m_bCommitting = true;
}

void CTerminalIsoView::Finish() {
    if (m_bDirty) draw();
    if (m_bLineOpen) {
        std::fputc('\n', m_err);
        std::fflush(m_err);
        m_bLineOpen = false;
    }
    EndTraceLine();
}

void CTerminalIsoView::draw() {
    m_bDirty = false;
    EndTraceLine();  // a trace line left open (the re-enumeration's) is not drawn over
    const int percent = (std::clamp(m_nPos, m_nLower, m_nUpper) - m_nLower) * 100 / (m_nUpper - m_nLower);
    if (m_bIsTerminal && !m_bPosSeen) {
        // Before the first progress step a status is a line of its own, so that trace lines
        // printed meanwhile do not run into a bar.
        if (m_strStatus == m_strLastLine) return;
        std::fprintf(m_err, "%s\n", m_strStatus.c_str());
        m_strLastLine = m_strStatus;
    } else if (m_bIsTerminal) {
        const std::string line = RenderProgressLine(percent, m_strStatus, 30);
        if (m_bLineOpen && line == m_strBarLine) return;
        // Redraw in place; blanks cover what a longer previous bar left behind.
        const std::size_t clear =
            m_bLineOpen && m_strBarLine.size() > line.size() ? m_strBarLine.size() - line.size() : 0;
        std::fprintf(m_err, "\r%s%s", line.c_str(), std::string(clear, ' ').c_str());
        m_strBarLine = line;
        m_bLineOpen = true;
    } else {
        // A log rather than a display: a new status line, but for progress only once per
        // tenth of the way. A new status at an unchanged position ("Verifying..." after 100%)
        // is a new phase, not progress, and always has its line.
        // A bar that starts again from a lower position belongs to a new step, whose status
        // always has its line.
        const bool progressOnly = m_bPosSeen && m_nPos > m_nLastLinePos;
        if (m_strStatus == m_strLastLine || (progressOnly && percent / 10 == m_nLastDecile)) return;
        std::fprintf(m_err, "%s\n", m_strStatus.c_str());
        m_strLastLine = m_strStatus;
        m_nLastLinePos = m_nPos;
        if (m_bPosSeen) m_nLastDecile = percent / 10;
    }
    std::fflush(m_err);
}

}  // namespace pellorin
