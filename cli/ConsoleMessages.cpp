#include "cli/ConsoleMessages.h"

namespace orfeo {

void ConsoleMessages::ShowMessage(MessageKind kind, const std::string& text) {
    std::FILE* out = kind == MessageKind::Ended ? m_ended : m_problems;
    std::fputs(text.c_str(), out);
    std::fputc('\n', out);
    std::fflush(out);
}

}  // namespace orfeo
