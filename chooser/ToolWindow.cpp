#include "chooser/ToolWindow.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QEventLoop>
#include <QFileInfo>
#include <QGridLayout>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPalette>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSpacerItem>
#include <QTimer>
#include <algorithm>
#include <cmath>

namespace orfeo {

namespace {

QPointer<QWidget> g_mainWindow;

}  // namespace

void SetMainWindow(QWidget* window) { g_mainWindow = window; }

QWidget* MainWindow() { return g_mainWindow; }

QString ApplicationTitle() { return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName(); }

namespace {

// A message's text with room to break its lines: a box breaks lines at spaces and after "/" only, so a long
// name or path without either would run out of the box, cut. A zero-width space goes into any run longer
// than a line can hold; texts without one stay as they are.
QString Breakable(const QString& text) {
    constexpr int kLongestRun = 60;
    QString out;
    out.reserve(text.size());
    int run = 0;
    for (const QChar c : text) {
        out += c;
        if (c.isSpace() || c == QLatin1Char('/')) {
            run = 0;
        } else if (++run == kLongestRun) {
            out += QChar(0x200B);
            run = 0;
        }
    }
    return out;
}

// Shows `box` until it is answered, taking the keyboard for it once it is up. When one box closes and the
// next shows at once, the closing box's request to give its owner the input focus can reach the window system
// after the window manager focused the new box: the box is then the active window but the keys go to its
// blocked owner, and Enter is lost. Asking again for the box, once it is up and a moment later, ends that.
void ExecTakingKeys(QMessageBox& box) {
    const auto takeKeys = [&box] {
        if (!box.isVisible()) return;
        box.raise();
        box.activateWindow();
    };
    QTimer::singleShot(0, &box, takeKeys);
    QTimer::singleShot(150, &box, takeKeys);
    box.exec();
}

}  // namespace

void ShowToolMessage(const QString& text, QWidget* owner) {
    QMessageBox box(QMessageBox::Warning, ApplicationTitle(), Breakable(text), QMessageBox::Ok, owner);
    // Window-modal: the owner waits, an open folder chooser stays usable.
    if (owner) box.setWindowModality(Qt::WindowModal);
    ExecTakingKeys(box);
}

ProblemAnswer ShowProblemMessage(const QString& text, QWidget* owner) {
    QMessageBox box(QMessageBox::Warning, ApplicationTitle(), Breakable(text), QMessageBox::Ok, owner);
    if (owner) box.setWindowModality(Qt::WindowModal);
    box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QPushButton* rest = box.addButton(QStringLiteral("Show the rest at the end"), QMessageBox::ActionRole);
    QPushButton* stop = box.addButton(QStringLiteral("Stop"), QMessageBox::ActionRole);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    // One width for the boxes of a run: a wide enough minimum, which QMessageBox takes from its layout.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        grid->addItem(new QSpacerItem(560, 0, QSizePolicy::Minimum, QSizePolicy::Expanding), grid->rowCount(),
                      0, 1, grid->columnCount());
    }
    ExecTakingKeys(box);
    if (box.clickedButton() == rest) return ProblemAnswer::ShowRestAtEnd;
    if (box.clickedButton() == stop) return ProblemAnswer::Stop;
    return ProblemAnswer::Ok;
}

bool AskToStopJob(QWidget* owner) {
    QMessageBox box(QMessageBox::Question, ApplicationTitle(),
                    QStringLiteral("A job is running. Stop it after the pages in hand?"),
                    QMessageBox::NoButton, owner);
    if (owner) box.setWindowModality(Qt::WindowModal);
    QPushButton* stop = box.addButton(QStringLiteral("Stop"), QMessageBox::AcceptRole);
    QPushButton* goOn = box.addButton(QStringLiteral("Go on"), QMessageBox::RejectRole);
    box.setDefaultButton(goOn);
    box.setEscapeButton(goOn);
    // Asked from the close box of a window that hands its activation on to the progress dialog: the
    // question takes the keys, as every box of the tool does.
    ExecTakingKeys(box);
    return box.clickedButton() == stop;
}

void ShowToolMessageOver(const QString& text, QWidget* front) {
    QMessageBox box(QMessageBox::Warning, ApplicationTitle(), Breakable(text), QMessageBox::Ok);
    box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    ExecOverWindow(box, front);
}

MainWindowBlock::MainWindowBlock(QWidget* main, QWidget* dialog, QWidget* front, CloseRequests close)
    : m_main(main), m_dialog(dialog), m_front(front), m_close(close) {
    if (m_main) qApp->installEventFilter(this);
}

MainWindowBlock::~MainWindowBlock() {
    if (m_main) qApp->removeEventFilter(this);
}

bool MainWindowBlock::eventFilter(QObject* watched, QEvent* event) {
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || !m_main || widget->window() != m_main) return false;
    switch (event->type()) {
        case QEvent::WindowActivate:
            BringForward();
            return false;
        case QEvent::MouseButtonPress:
            BringForward();
            return true;
        case QEvent::Close:
            if (m_close == CloseRequests::Pass) return false;
            event->ignore();
            return true;
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::ContextMenu:
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop:
            return true;
        default:
            return false;
    }
}

void MainWindowBlock::BringForward() {
    // After the window system has finished raising and activating the main window: `front` goes back
    // over it, and the dialog over `front`. A modal box that came meanwhile (a question the close box
    // asked) is left in front.
    QTimer::singleShot(0, this, [this] {
        if (QApplication::activeModalWidget()) return;
        if (m_front && m_front->isVisible()) m_front->raise();
        if (m_dialog && m_dialog->isVisible()) {
            m_dialog->raise();
            m_dialog->activateWindow();
        }
    });
}

int ExecOverWindow(QDialog& dialog, QWidget* front) {
    // The dialog's parent only decides where the window manager stacks it; who is blocked is decided here.
    dialog.setParent(front, dialog.windowFlags() | Qt::Dialog);
    dialog.setWindowModality(Qt::NonModal);
    MainWindowBlock block(MainWindow(), &dialog, front);
    QEventLoop loop;
    QObject::connect(&dialog, &QDialog::finished, &loop, &QEventLoop::quit);
    dialog.show();
    dialog.raise();
    dialog.activateWindow();
    loop.exec(QEventLoop::DialogExec);
    return dialog.result();
}

void FitToScreen(QWidget* window, QSize wanted, const QWidget* over, bool placeIt) {
    const QScreen* screen = over ? over->screen() : nullptr;
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen) {
        window->resize(wanted);
        return;
    }
    const QRect area = screen->availableGeometry();
    // The window manager's frame: as it is, once the window has one; before that, as large as common
    // frames are (a title bar and thin borders, in the screen's pixels).
    QMargins frame;
    if (window->isVisible()) {
        frame = QMargins(window->geometry().left() - window->frameGeometry().left(),
                         window->geometry().top() - window->frameGeometry().top(),
                         window->frameGeometry().right() - window->geometry().right(),
                         window->frameGeometry().bottom() - window->geometry().bottom());
    }
    if (frame.left() <= 0 || frame.top() <= 0 || frame.right() <= 0 || frame.bottom() <= 0) {
        const auto pixels = [screen](int device) {
            return static_cast<int>(std::ceil(device / screen->devicePixelRatio()));
        };
        frame = QMargins(pixels(8), pixels(36), pixels(8), pixels(8));
    }
    const QSize room = area.size().shrunkBy(frame);
    const QSize least = window->minimumSizeHint().expandedTo(window->minimumSize());
    const QSize size = wanted.boundedTo(room).expandedTo(least).boundedTo(window->maximumSize());
    window->resize(size);
    if (!placeIt) return;
    QRect placed(QPoint(0, 0), size.grownBy(frame));
    placed.moveCenter(over ? over->frameGeometry().center() : area.center());
    placed.moveLeft(
        std::clamp(placed.left(), area.left(), std::max(area.left(), area.right() + 1 - placed.width())));
    placed.moveTop(
        std::clamp(placed.top(), area.top(), std::max(area.top(), area.bottom() + 1 - placed.height())));
    window->move(placed.topLeft());
}

QColor ProblemTextColour(const QPalette& palette) {
    // Dark text on a light ground takes a dark red, light text on a dark ground a light one.
    const bool darkText =
        palette.color(QPalette::Text).lightness() <= palette.color(QPalette::Base).lightness();
    return darkText ? QColor::fromHsl(0, 255, 70) : QColor::fromHsl(0, 255, 185);
}

}  // namespace orfeo
