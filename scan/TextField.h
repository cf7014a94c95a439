#pragma once

#include <string>

namespace orfeo {

// A text field that a folder scan writes: the desktop tool adapts its read-only path fields to it, the
// command line hands plain TextHolders.
class ITextField {
public:
    virtual ~ITextField() = default;
    virtual void SetText(const std::string& text) = 0;
};

// A text field that only holds its text.
class TextHolder final : public ITextField {
public:
    void SetText(const std::string& text) override { m_text = text; }
    const std::string& GetText() const { return m_text; }

private:
    std::string m_text;
};

}  // namespace orfeo
