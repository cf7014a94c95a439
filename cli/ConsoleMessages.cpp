#include "cli/ConsoleMessages.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "protocol/Messages.h"

namespace orfeo {

namespace {

// The length of the well-formed UTF-8 sequence at `i`, or 0 when there is none.
std::size_t Utf8Sequence(const std::string& text, std::size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                               : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                              : 0;
    if (length == 0 || i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
    }
    return length;
}

void AppendEscaped(std::string& shown, unsigned char c) {
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
    shown += escaped;
}

}  // namespace

std::string EscapeControls(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F) {
                AppendEscaped(shown, c);
            } else {
                shown += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        // A C1 control, as UTF-8 encodes it, or a byte that is not part of a well-formed sequence (a lone
        // 0x9B is a control sequence introducer to some terminals) is escaped; other characters pass.
        const std::size_t length = Utf8Sequence(text, i);
        const bool c1 = length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
        if (length == 0 || c1) {
            for (std::size_t k = 0; k < std::max<std::size_t>(length, 1); ++k) {
                AppendEscaped(shown, static_cast<unsigned char>(text[i + k]));
            }
        } else {
            shown.append(text, i, length);
        }
        i += std::max<std::size_t>(length, 1);
    }
    return shown;
}

namespace {

// Redrawing on every page would make a fast run flicker and cost a write per page.
constexpr std::chrono::milliseconds kRedrawEvery{200};

// The number of columns `text` takes, counting each UTF-8 sequence as one.
std::size_t Columns(const std::string& text) {
    std::size_t columns = 0;
    for (unsigned char c : text) columns += (c & 0xC0) != 0x80;
    return columns;
}

// The last `columns` columns of `text`, never starting inside a UTF-8 sequence.
std::string LastColumns(const std::string& text, std::size_t columns) {
    std::size_t start = text.size(), taken = 0;
    while (start > 0 && taken < columns) {
        --start;
        if ((static_cast<unsigned char>(text[start]) & 0xC0) != 0x80) ++taken;
    }
    return text.substr(start);
}

// The first `columns` columns of `text`, never ending inside a UTF-8 sequence.
std::string FirstColumns(const std::string& text, std::size_t columns) {
    std::size_t end = 0, taken = 0;
    while (end < text.size()) {
        if ((static_cast<unsigned char>(text[end]) & 0xC0) != 0x80 && taken++ == columns) break;
        ++end;
    }
    return text.substr(0, end);
}

// `status`, then as much of `name` as fits in `columns` - 1 columns: a line that reaches the last column
// makes some terminals wrap, so one stays free. A name that does not fit keeps its end (the page number
// and the extension) behind "..."; a name that would keep fewer than a few characters is left out.
std::string FitLine(const std::string& status, const std::string& name, std::size_t columns) {
    const std::size_t room = columns > 1 ? columns - 1 : 1;
    std::string line = status;
    if (!name.empty()) {
        const std::size_t left = Columns(status) + 2 < room ? room - Columns(status) - 2 : 0;
        if (Columns(name) <= left) {
            line += "  " + name;
        } else if (left >= 10) {
            line += "  ..." + LastColumns(name, left - 3);
        }
    }
    return Columns(line) > room ? FirstColumns(line, room) : line;
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

}  // namespace

ConsoleMessages::ConsoleMessages(std::FILE* problems, std::FILE* ended, const Settings& settings)
    : m_problems(problems), m_ended(ended), m_settings(settings) {}

ConsoleMessages::~ConsoleMessages() { ClearProgress(); }

unsigned ConsoleMessages::Columns() const {
    if (m_settings.columns) return m_settings.columns;
    winsize size{};
    if (ioctl(fileno(m_problems), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    if (const char* columns = std::getenv("COLUMNS")) {
        const long value = std::strtol(columns, nullptr, 10);
        if (value > 0 && value < 10000) return static_cast<unsigned>(value);
    }
    return 80;
}

namespace {

// The columns a line takes: one for each character, not for each byte of UTF-8.
std::size_t Width(const std::string& line) {
    std::size_t width = 0;
    for (const char c : line) width += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return width;
}

}  // namespace

void ConsoleMessages::ClearProgress() {
    if (!m_progressShown) return;
    if (m_settings.plain) {
        std::string blank(1, '\r');
        blank.append(m_shownLength, ' ').push_back('\r');
        std::fputs(blank.c_str(), m_problems);
    } else {
        std::fputs("\r\033[K", m_problems);
    }
    std::fflush(m_problems);
    m_progressShown = false;
}

void ConsoleMessages::DrawProgress(const std::string& line) {
    if (m_settings.plain) {
        // Blanks over what is left of a longer line before.
        std::string shown(1, '\r');
        const std::size_t width = Width(line);
        shown.append(line).append(m_shownLength > width ? m_shownLength - width : 0, ' ');
        std::fputs(shown.c_str(), m_problems);
    } else {
        std::fputs("\r\033[K", m_problems);
        std::fputs(line.c_str(), m_problems);
    }
    m_shownLength = Width(line);
    std::fflush(m_problems);
    m_progressShown = true;
    m_lastDraw = std::chrono::steady_clock::now();
}

void ConsoleMessages::ShowMessage(MessageKind kind, const std::string& text) {
    if (kind == MessageKind::Ended) {
        m_heldEnded = text;
        return;
    }
    ClearProgress();
    std::fputs(EscapeControls(text).c_str(), m_problems);
    std::fputc('\n', m_problems);
    std::fflush(m_problems);
    // The line comes back with the next page, not later.
    m_lastDraw = {};
}

void ConsoleMessages::Line(const std::string& text) {
    ClearProgress();
    std::fputs(EscapeControls(text).c_str(), m_ended);
    std::fputc('\n', m_ended);
    std::fflush(m_ended);
    m_lastDraw = {};
}

void ConsoleMessages::Progress(std::size_t done, std::size_t total, const std::string& name) {
    m_done = done;
    if (!m_settings.showProgress) return;
    const auto now = std::chrono::steady_clock::now();
    if (done < total && now - m_lastDraw < kRedrawEvery) return;
    const double seconds = std::chrono::duration<double>(now - m_start).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
    const double left = rate > 0 ? static_cast<double>(total - done) / rate : 0.0;
    char status[128];
    std::snprintf(status, sizeof status, "%zu/%zu pages, %.1f pages/s, %.0f s left", done, total, rate, left);
    DrawProgress(FitLine(status, EscapeControls(name), Columns()));
}

std::string ConsoleMessages::Summary(const BatchResult& result) {
    if (result.refused || result.stopped || result.written >= result.entries) return {};
    return UnwrittenPagesMessage(result.entries - result.written, result.entries);
}

void ConsoleMessages::EndRun(const BatchResult& result) {
    if (m_settings.showProgress && (m_progressShown || m_done > 0)) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
        const std::string status = std::to_string(result.written) + " of " + std::to_string(result.entries) +
                                   " pages written in " + Seconds(seconds);
        DrawProgress(FitLine(status, {}, Columns()));
        std::fputc('\n', m_problems);
        std::fflush(m_problems);
        m_progressShown = false;
    }
    const std::string summary = Summary(result);
    if (!summary.empty()) ShowMessage(MessageKind::Problem, summary);
    // The last line of `ended`: its flush is left to whoever closes the stream, which sees its outcome.
    if (!m_heldEnded.empty() && m_settings.showEnded) {
        std::fputs(EscapeControls(m_heldEnded).c_str(), m_ended);
        std::fputc('\n', m_ended);
    }
    m_heldEnded.clear();
}

}  // namespace orfeo
