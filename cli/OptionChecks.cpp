#include "cli/OptionChecks.h"

#include <charconv>
#include <cmath>
#include <string>

namespace orfeo {

CLI::Validator JobCount() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            unsigned long value = 0;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (error == std::errc() && end == text.data() + text.size() && value >= 1 && value <= kMaxJobs) {
                return {};
            }
            return "must be a whole number from 1 to " + std::to_string(kMaxJobs);
        },
        "1-" + std::to_string(kMaxJobs));
}

CLI::Validator PositiveLimit() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            const bool whole = !text.empty() && end == text.c_str() + text.size();
            if (whole && std::isfinite(value) && value > 0) return {};
            return "must be a number above 0, such as 600";
        },
        "NUMBER > 0");
}

}  // namespace orfeo
