#include "tests/support/UiScript.h"

#include <QAbstractButton>
#include <QDialog>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <memory>

namespace orfeo::test {

UiScript::UiScript() {
    m_timer.setInterval(5);
    connect(&m_timer, &QTimer::timeout, this, &UiScript::Tick);
    m_timer.start();
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        if (Finished()) return;
        qWarning("UI script stuck at step %zu of %zu; closing the dialogs", m_next + 1, m_steps.size());
        m_steps.clear();
        m_next = 0;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible())
                dialog->reject();
        }
        m_failed = true;
    });
    m_deadline.start(10000);
}

UiScript& UiScript::Then(std::function<bool()> ready, std::function<void()> act) {
    m_steps.push_back({std::move(ready), std::move(act)});
    return *this;
}

UiScript& UiScript::AnswerMessage(QStringList* texts) {
    // A box stays visible until its queued click arrives: never answer the same box twice.
    auto answered = std::make_shared<QPointer<QMessageBox>>();
    return Then(
        [answered] {
            QMessageBox* box = VisibleWindow<QMessageBox>();
            return box != nullptr && box != answered->data();
        },
        [texts, answered] {
            QMessageBox* box = VisibleWindow<QMessageBox>();
            *answered = box;
            texts->append(box->text());
            ClickLater(box->button(QMessageBox::Ok));
        });
}

void UiScript::Tick() {
    if (m_failed || m_next >= m_steps.size() || !m_steps[m_next].ready()) return;
    // Move on before acting: the action may open a modal loop in which the next steps must run.
    Step& step = m_steps[m_next++];
    step.act();
}

void ClickLater(QAbstractButton* button) {
    QMetaObject::invokeMethod(button, &QAbstractButton::click, Qt::QueuedConnection);
}

}  // namespace orfeo::test
