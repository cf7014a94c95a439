#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>

#include "protocol/MessageSink.h"
#include "run/BatchResult.h"

namespace orfeo {

// `text` with every control character (C0, DEL, and C1 as UTF-8 encodes it) and every byte that is not
// part of well-formed UTF-8 written as \xHH, so that a file name can neither start a line of its own nor
// send escape sequences to the terminal.
std::string EscapeControls(const std::string& text);

// Shows the core's messages on a console, control characters escaped (see EscapeControls): one a line,
// problems on `problems` (standard error), the closing "Processing ended." on `ended` (standard output),
// each flushed at once so the order holds in a log. "Processing ended." is held back until EndRun, which
// puts the run's summary before it.
//
// With a progress line (only for a terminal), the line is kept at the bottom of `problems`: pages done of
// all, pages per second, the time left and the page's name, cut to fit the terminal's width so that it
// never wraps, redrawn at most a few times a second and cleared before each message. EndRun leaves it in
// place with what the run wrote.
class ConsoleMessages final : public IMessageSink {
public:
    struct Settings {
        bool showProgress = false;  // draw the progress line on `problems`
        bool showEnded = true;      // print "Processing ended." (off for a quiet run)
        unsigned columns = 0;       // width of the terminal; 0 asks the terminal behind `problems`
        // The terminal takes no escape sequences (TERM=dumb, or none named): the progress line is
        // redrawn with a carriage return and blanks alone.
        bool plain = false;
    };

    ConsoleMessages(std::FILE* problems, std::FILE* ended, const Settings& settings);
    ~ConsoleMessages() override;

    void ShowMessage(MessageKind kind, const std::string& text) override;
    void Progress(std::size_t done, std::size_t total, const std::string& name);
    // A line on `ended` (a page written, for --verbose), under the progress line, control characters
    // escaped.
    void Line(const std::string& text);

    // Ends the console's part of a run that `result` describes: the last progress line with what was
    // written, then, when some pages were not written, a line such as "3 of 40 pages were not written."
    // on `problems`, then the held-back "Processing ended.".
    void EndRun(const BatchResult& result);

    // "N of M pages were not written." when a run that was neither refused nor stopped left pages unwritten;
    // empty otherwise (a stopped run has said how far it got).
    static std::string Summary(const BatchResult& result);

private:
    void ClearProgress();
    void DrawProgress(const std::string& line);
    unsigned Columns() const;

    std::FILE* m_problems;
    std::FILE* m_ended;
    Settings m_settings;
    bool m_progressShown = false;
    std::size_t m_shownLength = 0;  // columns of the progress line drawn last
    std::string m_heldEnded;
    std::size_t m_done = 0;
    const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point m_lastDraw{};
};

}  // namespace orfeo
