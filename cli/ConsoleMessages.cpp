#include "cli/ConsoleMessages.h"

namespace orfeo {

std::string EscapeControls(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool c1 =
            c == 0xC2 && i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80;
        if (c >= 0x20 && c != 0x7F && !c1) {
            shown += static_cast<char>(c);
            continue;
        }
        const std::size_t bytes = c1 ? 2 : 1;
        for (std::size_t k = 0; k < bytes; ++k) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(text[i + k]));
            shown += escaped;
        }
        i += bytes - 1;
    }
    return shown;
}

ConsoleMessages::ConsoleMessages(std::FILE* problems, std::FILE* ended, bool showProgress)
    : m_problems(problems), m_ended(ended), m_showProgress(showProgress) {}

ConsoleMessages::~ConsoleMessages() { ClearProgress(); }

void ConsoleMessages::ClearProgress() {
    if (!m_progressShown) return;
    std::fputs("\r\033[K", m_problems);
    std::fflush(m_problems);
    m_progressShown = false;
}

void ConsoleMessages::ShowMessage(MessageKind kind, const std::string& text) {
    ClearProgress();
    std::FILE* out = kind == MessageKind::Ended ? m_ended : m_problems;
    std::fputs(EscapeControls(text).c_str(), out);
    std::fputc('\n', out);
    std::fflush(out);
}

void ConsoleMessages::Progress(std::size_t done, std::size_t total, const std::string& name) {
    if (!m_showProgress) return;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
    const double left = rate > 0 ? static_cast<double>(total - done) / rate : 0.0;
    std::fprintf(m_problems, "\r\033[K%zu/%zu pages, %.1f pages/s, %.0f s left  %s", done, total, rate, left,
                 EscapeControls(name).c_str());
    std::fflush(m_problems);
    m_progressShown = true;
}

}  // namespace orfeo
