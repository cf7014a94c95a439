#pragma once

#include <QApplication>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <vector>

class QAbstractButton;

namespace orfeo::test {

// Drives modal windows from a test, as a user would: each step waits until its condition holds, then
// acts once. The steps run from a timer, so they go on inside the modal loops that earlier steps opened.
// A script that has not finished after ten seconds gives up and closes every open dialog, so that a
// failing test ends (and Finished() says false) instead of hanging.
class UiScript : public QObject {
public:
    UiScript();

    // When ready() holds, run act() and go on with the next step.
    UiScript& Then(std::function<bool()> ready, std::function<void()> act);
    // Waits for a message box, keeps its text in `texts`, and presses its OK button.
    UiScript& AnswerMessage(QStringList* texts);

    bool Finished() const { return !m_failed && m_next == m_steps.size(); }

private:
    struct Step {
        std::function<bool()> ready;
        std::function<void()> act;
    };
    void Tick();

    std::vector<Step> m_steps;
    std::size_t m_next = 0;
    bool m_failed = false;
    QTimer m_timer;
    QTimer m_deadline;
};

// The first visible top-level window of type T, or nullptr.
template <class T>
T* VisibleWindow() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* window = qobject_cast<T*>(widget); window && window->isVisible()) return window;
    }
    return nullptr;
}

// Clicks `button` from the event loop, so that a modal loop it opens does not hold up the caller.
void ClickLater(QAbstractButton* button);

}  // namespace orfeo::test
