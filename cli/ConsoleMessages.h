#pragma once

#include <cstdio>

#include "imaging/MessageSink.h"

namespace orfeo {

// Shows the core's messages on a console: one a line, problems on `problems` (standard error), the closing
// "Processing ended." on `ended` (standard output), each flushed at once so the order holds in a log.
class ConsoleMessages final : public IMessageSink {
public:
    ConsoleMessages(std::FILE* problems, std::FILE* ended) : m_problems(problems), m_ended(ended) {}
    void ShowMessage(MessageKind kind, const std::string& text) override;

private:
    std::FILE* m_problems;
    std::FILE* m_ended;
};

}  // namespace orfeo
