#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>

#include "imaging/MessageSink.h"

namespace orfeo {

// `text` with every control character (C0, DEL, and C1 as UTF-8 encodes it) written as \xHH, so that a
// file name can neither start a line of its own nor send escape sequences to the terminal.
std::string EscapeControls(const std::string& text);

// Shows the core's messages on a console, control characters escaped (see EscapeControls): one a line,
// problems on `problems` (standard error), the closing "Processing ended." on `ended` (standard output),
// each flushed at once so the order holds in a log.
// With a progress line (only for a terminal), the line is kept at the bottom of `problems`: pages done of
// all, pages per second and the time left, redrawn on every entry and cleared before each message.
class ConsoleMessages final : public IMessageSink {
public:
    ConsoleMessages(std::FILE* problems, std::FILE* ended, bool showProgress);
    ~ConsoleMessages() override;

    void ShowMessage(MessageKind kind, const std::string& text) override;
    void Progress(std::size_t done, std::size_t total, const std::string& name);

private:
    void ClearProgress();

    std::FILE* m_problems;
    std::FILE* m_ended;
    bool m_showProgress;
    bool m_progressShown = false;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

}  // namespace orfeo
