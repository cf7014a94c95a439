#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/CScanDlg.h"
#include "app/CheckDlg.h"
#include "app/JobProgressDlg.h"
#include "app/PageViewer.h"
#include "app/ProblemsDlg.h"
#include "chooser/BrowseForFolder.h"
#include "chooser/CNewFolderDlg.h"
#include "chooser/DialogUnits.h"
#include "chooser/ShellFolderDialog.h"
#include "chooser/ToolWindow.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"
#include "tests/support/UiScript.h"

using orfeo::CScanDlg;
using orfeo::test::ClickLater;
using orfeo::test::UiScript;
using orfeo::test::VisibleWindow;
namespace fs = std::filesystem;

namespace {

QPushButton* Button(QWidget* window, int id) { return window->findChild<QPushButton*>(QString::number(id)); }
QPushButton* Button(QWidget* window, const QString& label) {
    for (QPushButton* button : window->findChildren<QPushButton*>()) {
        if (button->text().remove(QLatin1Char('&')) == label) return button;
    }
    return nullptr;
}

std::string Folder(const fs::path& path) { return path.string() + "/"; }

// Stands in for the folder chooser: hands out the given answers in turn (nullopt: cancelled).
class FakeChooser {
public:
    explicit FakeChooser(std::deque<std::optional<std::string>> answers) : m_answers(std::move(answers)) {}
    CScanDlg::FolderBrowser Browser() {
        return [this](std::string& path, const QString& title) {
            titles.append(title);
            const std::optional<std::string> answer = m_answers.front();
            m_answers.pop_front();
            if (answer) path = *answer;
            return answer.has_value();
        };
    }
    QStringList titles;

private:
    std::deque<std::optional<std::string>> m_answers;
};

// Two small books: pages with masks that mark the left half, and second pages.
void MakeBooks(const fs::path& book, const fs::path& book2, unsigned pages) {
    using orfeo::test::MakeImage;
    for (unsigned i = 1; i <= pages; ++i) {
        const std::string name = "page" + std::to_string(i) + ".tif";
        orfeo::test::Save(MakeImage(16, 4, 8, [i](unsigned x, unsigned) { return x + i; }).get(),
                          book / name);
        orfeo::test::Save(orfeo::test::MakeMask(16, 4, [](unsigned x, unsigned) { return x < 8; }).get(),
                          book / "cache" / "automask" / name);
        orfeo::test::Save(MakeImage(16, 4, 8, [i](unsigned x, unsigned) { return 100 + x + i; }).get(),
                          book2 / ("scan_" + std::to_string(i) + ".tif"));
    }
}

// A book long enough that a run is still going when a test stops it, however fast the machine:
// p001.tif ... p150.tif, 800 x 800, with masks.
constexpr unsigned kLongBookPages = 150;
void MakeLongBook(const fs::path& book) {
    const orfeo::ImagePtr page =
        orfeo::test::MakeImage(800, 800, 8, [](unsigned x, unsigned y) { return x ^ y; });
    const orfeo::ImagePtr mask =
        orfeo::test::MakeMask(800, 800, [](unsigned x, unsigned) { return x < 300; });
    for (unsigned i = 1; i <= kLongBookPages; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "p%03u.tif", i);
        orfeo::test::Save(page.get(), book / name);
        orfeo::test::Save(mask.get(), book / "cache" / "automask" / name);
    }
}

// Counts the times a window of type T is shown.
template <class T>
class ShowCounter : public QObject {
public:
    ShowCounter() { qApp->installEventFilter(this); }
    ~ShowCounter() override { qApp->removeEventFilter(this); }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && qobject_cast<T*>(watched)) ++shows;
        return false;
    }
    int shows = 0;
};

// Answers whatever a run shows, as it comes, and keeps what each window said: message boxes (a problem's,
// which offers "Stop", or a plain one), the Problems window and the viewer it opens. `choose` names the
// button to press on a box or the Problems window (empty: OK); a Problems window that is told "View..."
// opens the viewer on its first line, whose output pane's note is kept, then End and its note, then Escape;
// the Problems window is then answered with OK.
struct Said {
    QString kind;  // "problem", "box", "Problems", "viewer"
    QString text;
};
class Answerer : public QObject {
public:
    using Choose = std::function<QString(const Said& said)>;
    explicit Answerer(Choose choose) : m_choose(std::move(choose)) {
        connect(&m_timer, &QTimer::timeout, this, &Answerer::Tick);
        m_timer.start(20);
    }
    QList<Said> said;

private:
    void Tick() {
        if (auto* viewer = VisibleWindow<orfeo::PageViewer>()) {
            if (!viewer->Settled()) return;
            const QString note = viewer->Panes().back()->Note();
            if (viewer != m_viewer) {
                m_viewer = viewer;
                said.append({QStringLiteral("viewer"), note});
                QTest::keyClick(viewer, Qt::Key_End);
            } else if (!m_viewerDone && viewer->Current() > 0) {
                m_viewerDone = true;
                said.append({QStringLiteral("viewer"), note});
                QTest::keyClick(viewer, Qt::Key_Escape);
            }
            return;
        }
        if (auto* problems = VisibleWindow<orfeo::ProblemsDlg>()) {
            if (problems == m_problems && (!m_viewerDone || m_problemsDone)) return;
            if (problems != m_problems) said.append({QStringLiteral("Problems"), problems->Text()});
            const QString choice = problems == m_problems ? QString() : m_choose(said.back());
            m_problems = problems;
            m_problemsDone = choice.isEmpty();
            ClickLater(Button(problems, choice.isEmpty() ? QStringLiteral("OK") : choice));
            return;
        }
        QMessageBox* box = VisibleWindow<QMessageBox>();
        if (!box || box == m_box) return;
        m_box = box;
        const bool problem = Button(box, QStringLiteral("Stop")) != nullptr;
        said.append(
            {problem ? QStringLiteral("problem") : QStringLiteral("box"), box->text().remove(QChar(0x200B))});
        const QString choice = m_choose(said.back());
        ClickLater(Button(box, choice.isEmpty() ? QStringLiteral("OK") : choice));
    }

    Choose m_choose;
    QTimer m_timer;
    QPointer<QMessageBox> m_box;
    QPointer<orfeo::ProblemsDlg> m_problems;
    QPointer<orfeo::PageViewer> m_viewer;
    bool m_viewerDone = false, m_problemsDone = false;
};

// The contrast of two colours as the accessibility guidelines measure it (1 to 21).
double Contrast(const QColor& a, const QColor& b) {
    const auto luminance = [](const QColor& colour) {
        const auto channel = [](double value) {
            return value <= 0.03928 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(colour.redF()) + 0.7152 * channel(colour.greenF()) +
               0.0722 * channel(colour.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// With ORFEO_TEST_SHOTS set, keeps a picture of `window` there, for a person to look at.
void Shoot(QWidget* window, const char* name) {
    const QString folder = qEnvironmentVariable("ORFEO_TEST_SHOTS");
    if (!folder.isEmpty()) window->grab().save(folder + QLatin1Char('/') + QLatin1String(name) + ".png");
}

}  // namespace

// Takes the URLs that QDesktopServices would hand to the desktop.
class UrlCatcher : public QObject {
    Q_OBJECT

public slots:
    void Open(const QUrl& url) { urls.append(url); }

public:
    QList<QUrl> urls;
};

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        orfeo::g_strCurrentFolder.clear();
        orfeo::g_szPreselectFolder.clear();
    }

    void windowFollowsItsTemplate() {
        FakeChooser chooser({std::nullopt});
        CScanDlg dialog(chooser.Browser());
        const orfeo::DialogUnits units(dialog.font());
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Orfeo"));
        QVERIFY(!dialog.m_hIcon.availableSizes().isEmpty());
        QCOMPARE(dialog.windowIcon().cacheKey(), dialog.m_hIcon.cacheKey());
        // The template's 320 units, and to their right the page counts.
        QCOMPARE(dialog.size(), units.ToPixels(370, 200));
        QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
        QVERIFY(!dialog.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(!dialog.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
        QCOMPARE(Button(&dialog, 1006)->geometry(), units.ToPixels(7, 14, 62, 16));
        QCOMPARE(Button(&dialog, 1008)->geometry(), units.ToPixels(37, 174, 87, 16));
        QCOMPARE(dialog.m_editOutput2->geometry(), units.ToPixels(38, 156, 275, 12));
        for (QLineEdit* field :
             {dialog.m_editInput, dialog.m_editOutput, dialog.m_editInput2, dialog.m_editOutput2}) {
            // Not for typing and out of the Tab chain, but in the normal text colour and selectable.
            QVERIFY(field->isEnabled() && field->isReadOnly());
            QCOMPARE(field->focusPolicy(), Qt::NoFocus);
            QVERIFY(field->text().isEmpty());
        }
        for (int id : {1006, 1007, 1008, 1009}) QVERIFY(!Button(&dialog, id)->isDefault());

        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QCOMPARE(dialog.focusWidget(), Button(&dialog, 1006));
        for (int id : {1007, 1008, 1009, 1101, 1102, 1006}) {  // the fields take no focus
            QTest::keyClick(dialog.focusWidget(), Qt::Key_Tab);
            QCOMPARE(dialog.focusWidget(), Button(&dialog, id));
        }
        QTest::keyClick(dialog.focusWidget(), Qt::Key_Return);  // Enter clicks the focused "Open folder"
        QCOMPARE(chooser.titles, QStringList("Choose folder"));
        QVERIFY(dialog.isVisible());
        QTest::keyClick(dialog.focusWidget(), Qt::Key_Escape);  // Escape ends the window, and so the program
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }

    // Read by a screen reader, each path field is named as its label; the progress dialog gives the pace once
    // a few pages tell it.
    void fieldsAreNamedAndProgressGivesThePace() {
        FakeChooser chooser({});
        CScanDlg dialog(chooser.Browser());
        const QStringList names = {"Input:", "Ouput:", "Input 2:", "Ouput 2:"};
        const QStringList ids = {"1033", "1029", "1034", "1030"};
        for (int i = 0; i < names.size(); ++i)
            QCOMPARE(dialog.findChild<QLineEdit*>(ids[i])->accessibleName(), names[i]);
        orfeo::JobProgressDlg progress(&dialog, 40);
        progress.SetProgress(3, 40, QStringLiteral("page3.tif + scan_003.tif"));
        QCOMPARE(progress.Pace(), QString());  // too soon to tell
        QTest::qWait(2100);
        progress.SetProgress(4, 40, QStringLiteral("page4.tif + scan_004.tif"));
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d+ pages a minute, about \\d+ (s|min) left$"))
                     .match(progress.Pace())
                     .hasMatch(),
                 qPrintable(progress.Pace()));
        // Stopping, what is left is the pages in hand: no pace or time left, then or later.
        progress.RequestStop();
        QCOMPARE(progress.Pace(), QString());
        QTest::qWait(100);
        progress.SetProgress(5, 40, QStringLiteral("page5.tif + scan_005.tif"));
        QCOMPARE(progress.Pace(), QString());
        QCOMPARE(progress.findChild<QLabel*>()->text(),
                 QStringLiteral("Stopping after the pages in hand..."));
    }

    void commandsBeforeAnyFolderSaySo() {
        TempDirs dirs;
        MakeBooks(dirs.book, dirs.book2, 1);
        FakeChooser chooser({Folder(dirs.book)});
        CScanDlg dialog(chooser.Browser());
        dialog.show();
        QStringList messages;
        QString caption;
        UiScript script;
        bool progressShown = false;
        script.Then([] { return VisibleWindow<QMessageBox>() != nullptr; },
                    [&caption, &progressShown] {
                        caption = VisibleWindow<QMessageBox>()->windowTitle();
                        // Long after a progress dialog would have shown, none is in front of the box.
                        QTest::qWait(600);
                        progressShown = VisibleWindow<orfeo::JobProgressDlg>() != nullptr;
                    });
        script.AnswerMessage(&messages).AnswerMessage(&messages).AnswerMessage(&messages);
        Button(&dialog, 1007)->click();
        Button(&dialog, 1008)->click();
        Button(&dialog, 1006)->click();
        Button(&dialog, 1008)->click();
        QVERIFY(script.Finished());
        QCOMPARE(messages, QStringList({"No scans are yet loaded.", "No scans are yet loaded.",
                                        "No scans 2 are yet loaded."}));
        QCOMPARE(caption, orfeo::ApplicationTitle());
        QCOMPARE(caption, QStringLiteral("test_app"));
        QVERIFY(!progressShown);
        QCOMPARE(chooser.titles, QStringList("Choose folder"));
        QVERIFY(!fs::exists(dirs.book / "pics"));
    }

    void cancelledChooserAndNewFirstFolderLeaveTheRestAlone() {
        TempDirs dirs;
        MakeBooks(dirs.book, dirs.book2, 2);
        fs::create_directories(dirs.root / "other");
        orfeo::test::WriteFile(dirs.root / "other" / "x.bmp", "x");
        FakeChooser chooser({Folder(dirs.book2), dirs.book.string(), std::nullopt, std::nullopt,
                             (dirs.root / "other").string()});
        CScanDlg dialog(chooser.Browser());
        Button(&dialog, 1009)->click();
        Button(&dialog, 1006)->click();
        const QString input = dialog.m_editInput->text(), input2 = dialog.m_editInput2->text();
        QCOMPARE(input, QString::fromStdString(Folder(dirs.book)));
        QCOMPARE(dialog.m_editOutput->text(), input + "pics/");
        QCOMPARE(dialog.m_editOutput2->text(), input2 + "new_scans/");

        Button(&dialog, 1006)->click();  // cancelled
        Button(&dialog, 1009)->click();  // cancelled
        QCOMPARE(dialog.m_list1.GetSize(), 2u);
        QCOMPARE(dialog.m_list2.GetSize(), 2u);
        QCOMPARE(dialog.m_editInput->text(), input);
        QCOMPARE(dialog.m_editInput2->text(), input2);

        Button(&dialog, 1006)->click();  // a new first folder
        QCOMPARE(dialog.m_list1.GetSize(), 1u);
        QCOMPARE(dialog.m_list1.GetAt(0).name, std::string("x.bmp"));
        QCOMPARE(dialog.m_editInput->text(), QString::fromStdString(Folder(dirs.root / "other")));
        QCOMPARE(dialog.m_list2.GetSize(), 2u);
        QCOMPARE(dialog.m_editInput2->text(), input2);
        QCOMPARE(dialog.m_editOutput2->text(), input2 + "new_scans/");
    }

    void fullRunThroughTheWindow() {
        TempDirs dirs;
        MakeBooks(dirs.book, dirs.book2, 2);
        FakeChooser chooser({dirs.book.string(), dirs.book2.string()});
        CScanDlg dialog(chooser.Browser());
        dialog.show();
        QStringList messages;
        UiScript script;
        script.AnswerMessage(&messages).AnswerMessage(&messages);
        Button(&dialog, 1006)->click();
        Button(&dialog, 1007)->click();
        Button(&dialog, 1009)->click();
        Button(&dialog, 1008)->click();
        QVERIFY(script.Finished());
        QCOMPARE(messages, QStringList({"Processing ended.", "Processing ended."}));
        orfeo::ImagePtr merged = orfeo::test::Load(dirs.book2 / "new_scans" / "page2.tif");
        QVERIFY(merged);
        QCOMPARE(orfeo::test::GetPixel(merged.get(), 3, 0),
                 std::uint64_t{100 + 3 + 2});  // masked: page 2 of book 2
        QCOMPARE(orfeo::test::GetPixel(merged.get(), 12, 0),
                 std::uint64_t{12 + 2});  // the rest: back subscan

        // A missing mask: its message comes first, the run goes on and ends as always.
        fs::remove(dirs.book / "cache" / "automask" / "page1.tif");
        UiScript again;
        again.AnswerMessage(&messages).AnswerMessage(&messages).AnswerMessage(&messages);
        Button(&dialog, 1007)->click();
        QVERIFY(again.Finished());
        QCOMPARE(messages.mid(2), QStringList({"File \"" + QString::fromStdString(Folder(dirs.book)) +
                                                   "cache/automask/page1.tif\" not found.",
                                               "1 of 2 pages was not written.", "Processing ended."}));
        QVERIFY(fs::exists(dirs.book / "pics" / "page2.tif"));
        QVERIFY(!fs::exists(dirs.book / "pics" / "page1.tif"));
    }

    void progressDialogFollowsTheRunAndStopEndsIt_data() {
        QTest::addColumn<bool>("byEscape");
        QTest::newRow("Stop button") << false;
        QTest::newRow("Escape") << true;
    }

    void progressDialogFollowsTheRunAndStopEndsIt() {
        QFETCH(bool, byEscape);
        TempDirs dirs;
        MakeLongBook(dirs.book);
        FakeChooser chooser({dirs.book.string()});
        CScanDlg dialog(chooser.Browser());
        dialog.show();
        Button(&dialog, 1006)->click();

        QStringList messages;
        QString label, stoppingLabel;
        int progressBehindMessages = 0;
        auto answer = [&messages, &progressBehindMessages](UiScript& script) {
            auto answered = std::make_shared<QPointer<QMessageBox>>();
            script.Then(
                [answered] {
                    return VisibleWindow<QMessageBox>() && VisibleWindow<QMessageBox>() != *answered;
                },
                [&messages, &progressBehindMessages, answered] {
                    QMessageBox* box = VisibleWindow<QMessageBox>();
                    *answered = box;
                    messages.append(box->text());
                    if (VisibleWindow<orfeo::JobProgressDlg>()) ++progressBehindMessages;
                    // Enter, as a person answers it, through the window system's way in.
                    QTest::keyClick(box->windowHandle(), Qt::Key_Return);
                });
        };
        UiScript script;
        script.Then(
            [] {
                auto* progress = VisibleWindow<orfeo::JobProgressDlg>();
                return progress && progress->findChild<QProgressBar*>()->value() >= 2;
            },
            [&label, &stoppingLabel, byEscape] {
                orfeo::JobProgressDlg* progress = VisibleWindow<orfeo::JobProgressDlg>();
                // Not modal to Qt, which would drop the main window's close box (the run keeps the main
                // window's input instead).
                QCOMPARE(progress->windowModality(), Qt::NonModal);
                label = progress->findChild<QLabel*>()->text();
                QPushButton* stop = progress->findChild<QPushButton*>();
                QCOMPARE(stop->text(), QStringLiteral("Stop"));
                if (byEscape) {
                    QTest::keyClick(progress->windowHandle(), Qt::Key_Escape);
                } else {
                    QTest::mouseClick(progress->windowHandle(), Qt::LeftButton, {},
                                      stop->mapTo(progress, stop->rect().center()));
                }
                // The dialog stays, saying that it stops, until the pages in hand are done.
                QVERIFY(progress->isVisible() && progress->Stopping());
                QVERIFY(!stop->isEnabled());
                stoppingLabel = progress->findChild<QLabel*>()->text();
            });
        answer(script);
        answer(script);
        Button(&dialog, 1007)->click();
        QVERIFY(script.Finished());
        QVERIFY(!VisibleWindow<orfeo::JobProgressDlg>());
        QCOMPARE(progressBehindMessages, 0);
        QVERIFY2(
            QRegularExpression(QStringLiteral("^Page \\d+ of 150: p\\d{3}\\.tif$")).match(label).hasMatch(),
            qPrintable(label));
        QCOMPARE(stoppingLabel, QStringLiteral("Stopping after the pages in hand..."));

        QCOMPARE(messages.size(), 2);
        const QRegularExpressionMatch stopped =
            QRegularExpression(
                QStringLiteral("^Stopped: (\\d+) of 150 scans written\\.\n(\\d+) pages were not started\\.$"))
                .match(messages[0]);
        QVERIFY2(stopped.hasMatch(), qPrintable(messages[0]));
        QCOMPARE(messages[1], QStringLiteral("Processing ended."));
        std::size_t files = 0;
        for (const auto& entry : fs::directory_iterator(dirs.book / "pics")) {
            QCOMPARE(entry.path().extension().string(), std::string(".tif"));
            QVERIFY(orfeo::test::Load(entry.path()));
            ++files;
        }
        QCOMPARE(QString::number(files), stopped.captured(1));
        QVERIFY(files < kLongBookPages);
        // The pages in hand were written; the others were never started.
        QVERIFY(stopped.captured(2).toUInt() > 0 && files + stopped.captured(2).toUInt() == kLongBookPages);
    }

    // A book with problems on most pages is got through in a few presses: "Show the rest at the end" on the
    // first problem's box, the Problems window with every problem and the count, then "Processing ended.".
    // "Stop" on a problem's box stops the run as the progress dialog's Stop does.
    void problemsCanBeHeldForTheEndOrStopTheRun_data() {
        QTest::addColumn<bool>("stop");
        QTest::newRow("show the rest at the end") << false;
        QTest::newRow("stop") << true;
    }

    void problemsCanBeHeldForTheEndOrStopTheRun() {
        QFETCH(bool, stop);
        TempDirs dirs;
        MakeBooks(dirs.book, dirs.book2, 8);
        // Stopping, only page 2 has a problem: the pages in flight then finish without more boxes.
        const std::vector<int> bad = stop ? std::vector<int>{2} : std::vector<int>{2, 3, 4, 6, 7};
        for (int i : bad)
            fs::remove(dirs.book / "cache" / "automask" / ("page" + std::to_string(i) + ".tif"));
        FakeChooser chooser({Folder(dirs.book)});
        CScanDlg dialog(chooser.Browser());
        dialog.show();
        QStringList buttons, after, problems;
        QString summary;
        int entryOfFirst = -2, entryOfLast = -2;
        bool tabReachesThem = false;
        UiScript script;
        script.Then([] { return VisibleWindow<QMessageBox>() != nullptr; },
                    [&buttons, &tabReachesThem, stop] {
                        QMessageBox* box = VisibleWindow<QMessageBox>();
                        QList<QPushButton*> shown = box->findChildren<QPushButton*>();
                        std::sort(shown.begin(), shown.end(),
                                  [](QPushButton* a, QPushButton* b) { return a->x() < b->x(); });
                        for (QPushButton* button : shown)
                            buttons.append(button->text().remove(QLatin1Char('&')));
                        QPushButton* ok = qobject_cast<QPushButton*>(box->button(QMessageBox::Ok));
                        QVERIFY(ok && ok->isDefault());
                        QVERIFY(box->textInteractionFlags() & Qt::TextSelectableByMouse);
                        ok->setFocus();
                        QWidget* next = ok->nextInFocusChain();
                        tabReachesThem = qobject_cast<QPushButton*>(next) &&
                                         qobject_cast<QPushButton*>(next) == shown.value(1);
                        QPushButton* chosen = shown.value(stop ? 2 : 1);
                        QTest::mouseClick(box->windowHandle(), Qt::LeftButton, {},
                                          chosen->mapTo(box, chosen->rect().center()));
                    });
        if (stop) {
            script.AnswerMessage(&after).AnswerMessage(&after);
        } else {
            script.Then([] { return VisibleWindow<orfeo::ProblemsDlg>() != nullptr; },
                        [&problems, &summary, &entryOfFirst, &entryOfLast] {
                            orfeo::ProblemsDlg* window = VisibleWindow<orfeo::ProblemsDlg>();
                            QCOMPARE(window->windowTitle(), QStringLiteral("Problems"));
                            problems =
                                window->findChild<QPlainTextEdit*>()->toPlainText().split(QLatin1Char('\n'));
                            summary = window->findChild<QLabel*>()->text();
                            // Each line leads the viewer to its page: the mask of page2 is entry 2's.
                            entryOfFirst = window->EntryOf(problems.value(0));
                            entryOfLast = window->EntryOf(problems.value(4));
                            QTest::keyClick(window->windowHandle(), Qt::Key_Return);
                        });
            script.AnswerMessage(&after);
        }
        Button(&dialog, 1006)->click();
        Button(&dialog, 1007)->click();
        QVERIFY(script.Finished());
        QCOMPARE(buttons, QStringList({"OK", "Show the rest at the end", "Stop"}));
        QVERIFY(tabReachesThem);
        const QString masks = QString::fromStdString(dirs.book.string()) + "/cache/automask/";
        if (stop) {
            QVERIFY(after.size() == 2 && after[0].startsWith("Stopped: ") && after[1] == "Processing ended.");
            return;
        }
        QStringList expected;
        for (int i : {2, 3, 4, 6, 7})
            expected.append("File \"" + masks + "page" + QString::number(i) + ".tif\" not found.");
        QCOMPARE(problems, expected);
        QCOMPARE(summary, QStringLiteral("5 of 8 pages were not written."));
        QCOMPARE(entryOfFirst, 1);  // page2.tif, the second entry
        QCOMPARE(entryOfLast, 6);   // page7.tif
        QCOMPARE(after, QStringList("Processing ended."));
    }

    // However a run with problems is answered, its end says how many pages were not written before
    // "Processing ended.", and a stop ends it at once: no problem's box after Stop, the stop's word in a
    // plain box, the pages it kept from starting said as not started, never as problems.
    void runEndSaysWhatWasNotWritten_data() {
        QTest::addColumn<QString>("answer");  // to the first problem's box
        QTest::newRow("box by box") << "OK";
        QTest::newRow("Stop on a problem's box") << "Stop";
        QTest::newRow("the rest at the end, then Stop") << "Show the rest at the end";
    }
    void runEndSaysWhatWasNotWritten() {
        QFETCH(QString, answer);
        TempDirs dirs;
        MakeLongBook(dirs.book);
        // The first four pages are fine. Answered box by box, two pages lack their mask; stopped on a
        // problem's box, every page from the fifth on, so that the pages in hand have problems too; kept for
        // the end, the fifth and every tenth, so that the run is still going when its Stop is pressed.
        const bool byBox = answer == QStringLiteral("OK");
        const bool atBox = answer == QStringLiteral("Stop");
        for (unsigned i = 5; i <= (byBox ? 6 : kLongBookPages); ++i) {
            if (!byBox && !atBox && i != 5 && i % 10 != 0) continue;
            char name[32];
            std::snprintf(name, sizeof name, "p%03u.tif", i);
            fs::remove(dirs.book / "cache" / "automask" / name);
        }
        FakeChooser chooser({Folder(dirs.book)});
        CScanDlg dialog(chooser.Browser());
        dialog.show();
        Button(&dialog, 1006)->click();
        bool first = true;
        Answerer answerer([&first, answer](const Said& said) {
            if (said.kind == QStringLiteral("Problems")) return QStringLiteral("View...");
            if (said.kind != QStringLiteral("problem") || !first) return QString();
            first = false;
            return answer;
        });
        UiScript stopper;  // Stop in the progress dialog, once the problems are kept for the end
        if (answer == QStringLiteral("Show the rest at the end")) {
            stopper.Then(
                [] {
                    auto* progress = VisibleWindow<orfeo::JobProgressDlg>();
                    return progress && progress->findChild<QProgressBar*>()->value() >= 22;
                },
                [] { ClickLater(VisibleWindow<orfeo::JobProgressDlg>()->findChild<QPushButton*>()); });
        }
        Button(&dialog, 1007)->click();
        QStringList seen;
        for (const Said& said : answerer.said) seen.append(said.kind + QLatin1Char(':') + said.text);
        const QString all = seen.join(QStringLiteral(" | "));
        const QString masks = QString::fromStdString(dirs.book.string()) + "/cache/automask/";
        QVERIFY2(
            answerer.said.size() >= 3 && answerer.said.back().text == QStringLiteral("Processing ended."),
            qPrintable(all));
        const Said& count = answerer.said[answerer.said.size() - 2];
        QCOMPARE(count.kind, QStringLiteral("box"));
        if (byBox) {
            QCOMPARE(seen, QStringList({"problem:File \"" + masks + "p005.tif\" not found.",
                                        "problem:File \"" + masks + "p006.tif\" not found.",
                                        "box:2 of 150 pages were not written.", "box:Processing ended."}));
            return;
        }
        // One problem's box, the one answered; none after it.
        QCOMPARE(answerer.said.front().kind, QStringLiteral("problem"));
        for (qsizetype i = 1; i < answerer.said.size(); ++i)
            QVERIFY2(answerer.said[i].kind != QStringLiteral("problem"), qPrintable(all));
        const QStringList lines = count.text.split(QLatin1Char('\n'));
        if (atBox) {
            QCOMPARE(lines.value(0), QStringLiteral("Stopped: 4 of 150 scans written."));
        } else {
            QVERIFY2(QRegularExpression(QStringLiteral("^Stopped: \\d+ of 150 scans written\\.$"))
                         .match(lines.value(0))
                         .hasMatch(),
                     qPrintable(all));
        }
        const auto problems = std::find_if(answerer.said.begin(), answerer.said.end(), [](const Said& said) {
            return said.kind == QStringLiteral("Problems");
        });
        const QRegularExpression unwritten(QStringLiteral(
            "^(\\d+) of (\\d+) pages started (was|were) not written; (\\d+) pages were not started\\.$"));
        if (problems == answerer.said.end()) {
            // The pages in hand said their problems in the stop's box, after the count.
            const QRegularExpressionMatch match = unwritten.match(lines.value(1));
            QVERIFY2(match.hasMatch(), qPrintable(all));
            QCOMPARE(match.captured(1).toUInt() + match.captured(4).toUInt() + 4, kLongBookPages);
            QVERIFY(atBox);
            // The first problem's page was said in its box, before the stop.
            QCOMPARE(lines.size() - 3, match.captured(1).toInt() - 1);
            QCOMPARE(lines.value(2), QStringLiteral("After the stop:"));
            for (const QString& line : lines.mid(3))
                QVERIFY2(line.startsWith("File \"" + masks) && line.endsWith(" not found."),
                         qPrintable(line));
            return;
        }
        // The Problems window: every problem, then the count, without the stop's word; the stop's box alone.
        QCOMPARE(lines.size(), 1);
        QVERIFY2(!problems->text.contains(QStringLiteral("Stopped")), qPrintable(problems->text));
        const QStringList listed = problems->text.trimmed().split(QLatin1Char('\n'));
        const QRegularExpressionMatch match = unwritten.match(listed.back());
        QVERIFY2(match.hasMatch(), qPrintable(problems->text));
        QCOMPARE(listed.size() - 1, match.captured(1).toInt());
        for (const QString& line : listed.mid(0, listed.size() - 1))
            QVERIFY2(line.startsWith("File \"" + masks) && line.endsWith(" not found."), qPrintable(line));
        // Its viewer says why the first problem's page was not written, and that the last page never started.
        const auto viewer = problems + 1;
        QVERIFY2(viewer != answerer.said.end() && viewer->kind == QStringLiteral("viewer") &&
                     (viewer + 1)->kind == QStringLiteral("viewer"),
                 qPrintable(all));
        QCOMPARE(viewer->text, "Not written: File \"" + masks + "p005.tif\" not found.");
        QCOMPARE((viewer + 1)->text, QStringLiteral("Not written: the run was stopped before this page."));
    }

    // The check before a merge shows which page pairs with which, warns that the names sort as text, and
    // changes nothing on disk; its Run runs the merge.
    void checkShowsThePlanAndRunRunsIt() {
        TempDirs dirs;
        MakeBooks(dirs.book, dirs.book2, 12);
        FakeChooser chooser({Folder(dirs.book), Folder(dirs.book2)});
        CScanDlg dialog(chooser.Browser());
        dialog.show();
        Button(&dialog, 1006)->click();
        Button(&dialog, 1009)->click();
        QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("PageCount"))->text(), QStringLiteral("12 pages"));
        const auto before = orfeo::test::Snapshot(dirs.root, true);
        QString summary;
        QStringList second, firstRow;
        UiScript script;
        script.Then(
            [] { return VisibleWindow<orfeo::CheckDlg>() && VisibleWindow<orfeo::CheckDlg>()->Ready(); },
            [&] {
                orfeo::CheckDlg* check = VisibleWindow<orfeo::CheckDlg>();
                QCOMPARE(check->windowTitle(), QStringLiteral("Check: Merge subscans"));
                summary = check->Summary();
                QTableWidget* table = check->Table();
                for (int column = 0; column < table->columnCount(); ++column)
                    firstRow.append(table->item(1, column)->text());
                for (int row = 0; row < table->rowCount(); ++row) second.append(table->item(row, 1)->text());
                QTest::keyClick(check->windowHandle(), Qt::Key_Escape);
            });
        Button(&dialog, 1102)->click();
        QVERIFY(script.Finished());
        QCOMPARE(orfeo::test::Snapshot(dirs.root, true), before);  // nothing made, written or touched
        // Name order pairs page10 with scan_10 only because both folders sort alike; the check says so.
        QVERIFY2(summary.contains(QStringLiteral("12 of 12 pages would not be written.")),
                 qPrintable(summary));
        QVERIFY2(summary.contains(QStringLiteral("In folder 1, names sort as text, not by their numbers: "
                                                 "\"page12.tif\" comes before \"page2.tif\".")),
                 qPrintable(summary));
        QCOMPARE(second.size(), 12);
        QCOMPARE(second.first(), QStringLiteral("scan_1.tif"));
        QCOMPARE(second[1], QStringLiteral("scan_10.tif"));
        QCOMPARE(firstRow.mid(0, 2), QStringList({"page10.tif", "scan_10.tif"}));
        QVERIFY2(firstRow[2].endsWith(QStringLiteral("(not found)")), qPrintable(firstRow.join('|')));
        // What is wrong comes first in the Problems column, before the messages' whole paths.
        QVERIFY2(firstRow.last().startsWith(QStringLiteral("Back subscan not found: File \"/")),
                 qPrintable(firstRow.last()));

        // Run in the check is the job itself: the back subscans first, then the merge from its check.
        QStringList messages;
        UiScript run;
        run.Then([] { return VisibleWindow<orfeo::CheckDlg>() && VisibleWindow<orfeo::CheckDlg>()->Ready(); },
                 [] { ClickLater(Button(VisibleWindow<orfeo::CheckDlg>(), QStringLiteral("Run"))); })
            .AnswerMessage(&messages);
        Button(&dialog, 1101)->click();
        QVERIFY(run.Finished());
        QCOMPARE(messages, QStringList("Processing ended."));
        QVERIFY(fs::exists(dirs.book / "pics" / "page12.tif"));
    }

    // From a row of the check, the viewer shows the entry's page with its mask and the output (or why not),
    // and Page Down goes on to the next entry; nothing is written.
    void viewerShowsAnEntryAndPagesOn() {
        TempDirs dirs;
        MakeBooks(dirs.book, dirs.book2, 3);
        fs::remove(dirs.book / "cache" / "automask" / "page2.tif");
        // Page 3's mask is half its page's size: the colour alone would show it as marks that stop short.
        orfeo::test::Save(orfeo::test::MakeMask(8, 2, [](unsigned, unsigned) { return true; }).get(),
                          dirs.book / "cache" / "automask" / "page3.tif");
        FakeChooser chooser({Folder(dirs.book)});
        CScanDlg dialog(chooser.Browser());
        dialog.show();
        Button(&dialog, 1006)->click();
        const auto before = orfeo::test::Snapshot(dirs.root, true);
        const auto settledAt = [](int entry) {
            return [entry] {
                orfeo::PageViewer* viewer = VisibleWindow<orfeo::PageViewer>();
                return viewer && viewer->Settled() && viewer->Current() == entry;
            };
        };
        QStringList titles, notes, zooms;
        QString remark, outputNote;
        bool pictured = false;
        UiScript script;
        script
            .Then(
                [] { return VisibleWindow<orfeo::CheckDlg>() && VisibleWindow<orfeo::CheckDlg>()->Ready(); },
                [] {
                    // From the event loop: the viewer runs a loop of its own.
                    QTableWidget* table = VisibleWindow<orfeo::CheckDlg>()->Table();
                    QTimer::singleShot(0, table, [table] { QTest::keyClick(table, Qt::Key_Return); });
                })
            .Then(settledAt(0),
                  [&] {
                      orfeo::PageViewer* viewer = VisibleWindow<orfeo::PageViewer>();
                      titles.append(viewer->windowTitle());
                      pictured =
                          viewer->Panes().at(0)->HasPicture() && viewer->Panes().at(0)->Note().isEmpty();
                      notes.append(viewer->Panes().at(1)->Note());
                      zooms.append(viewer->ZoomText());
                      QTest::keyClick(viewer, Qt::Key_Plus);
                      zooms.append(viewer->ZoomText());
                      QTest::keyClick(viewer, Qt::Key_PageDown);
                  })
            .Then(settledAt(1),
                  [&] {
                      orfeo::PageViewer* viewer = VisibleWindow<orfeo::PageViewer>();
                      titles.append(viewer->windowTitle());
                      pictured = pictured && viewer->Panes().at(0)->HasPicture();
                      notes.append(viewer->Panes().at(0)->Note());
                      outputNote = viewer->Panes().at(1)->Note();
                      QTest::keyClick(viewer, Qt::Key_End);
                  })
            .Then(settledAt(2),
                  [&] {
                      orfeo::PageViewer* viewer = VisibleWindow<orfeo::PageViewer>();
                      titles.append(viewer->windowTitle());
                      remark = viewer->Panes().at(0)->Remark();
                      QTest::keyClick(viewer, Qt::Key_Home);
                  })
            .Then(settledAt(0),
                  [&] {
                      orfeo::PageViewer* viewer = VisibleWindow<orfeo::PageViewer>();
                      titles.append(viewer->windowTitle());
                      QTest::keyClick(viewer, Qt::Key_Escape);
                  })
            .Then([] { return VisibleWindow<orfeo::CheckDlg>() && !VisibleWindow<orfeo::PageViewer>(); },
                  [] { QTest::keyClick(VisibleWindow<orfeo::CheckDlg>(), Qt::Key_Escape); });
        Button(&dialog, 1101)->click();
        QVERIFY(script.Finished());
        QCOMPARE(titles, QStringList({"View: page1.tif (1 of 3)", "View: page2.tif (2 of 3)",
                                      "View: page3.tif (3 of 3)", "View: page1.tif (1 of 3)"}));
        QVERIFY(pictured);
        QCOMPARE(notes.value(0), QStringLiteral("No output yet."));
        QVERIFY2(notes.value(1).endsWith(QStringLiteral("page2.tif\" not found.")),
                 qPrintable(notes.value(1)));
        // Where the run would not write the output, the pane says so and why.
        QCOMPARE(outputNote, "The run would not write it: File \"" +
                                 QString::fromStdString(Folder(dirs.book)) +
                                 "cache/automask/page2.tif\" not found.");
        QVERIFY2(
            remark.startsWith(QStringLiteral("The mask is 8 x 2 pixels, its page 16 x 4: it covers only")),
            qPrintable(remark));
        // The zoom level, as the page's pixels to the screen's: at fit, then zoomed in.
        QVERIFY2(
            QRegularExpression(QStringLiteral("^Zoom: \\d+ % \\(fit\\)$")).match(zooms.value(0)).hasMatch(),
            qPrintable(zooms.join(" | ")));
        QVERIFY2(QRegularExpression(QStringLiteral("^Zoom: \\d+ %$")).match(zooms.value(1)).hasMatch(),
                 qPrintable(zooms.join(" | ")));
        QCOMPARE(orfeo::test::Snapshot(dirs.root, true), before);
    }

    // Problems a few pages apart, each answered at once: the progress dialog does not flash up between the
    // boxes (it did once for every box).
    void progressDialogStaysAwayBetweenCloseProblems() {
        TempDirs dirs;
        MakeLongBook(dirs.book);
        for (const char* name : {"p005.tif", "p010.tif", "p015.tif", "p020.tif", "p025.tif", "p030.tif"})
            fs::remove(dirs.book / "cache" / "automask" / name);
        FakeChooser chooser({Folder(dirs.book)});
        CScanDlg dialog(chooser.Browser());
        dialog.show();
        Button(&dialog, 1006)->click();
        QStringList messages;
        std::optional<int> showsBetweenBoxes;
        auto progress = std::make_unique<ShowCounter<orfeo::JobProgressDlg>>();
        UiScript script;
        for (int box = 0; box < 5; ++box) script.AnswerMessage(&messages);
        script
            .Then([] { return VisibleWindow<QMessageBox>() != nullptr; },
                  [&progress, &showsBetweenBoxes] {
                      showsBetweenBoxes = progress->shows;
                      ClickLater(
                          Button(VisibleWindow<QMessageBox>(), QStringLiteral("Show the rest at the end")));
                  })
            .AnswerMessage(&messages)
            .AnswerMessage(&messages);
        Button(&dialog, 1007)->click();
        QVERIFY(script.Finished());
        // No problem was left for the end: no Problems window, the count and the end in boxes.
        QCOMPARE(messages.mid(5), QStringList({"6 of 150 pages were not written.", "Processing ended."}));
        QVERIFY(showsBetweenBoxes.has_value());
        // Once, at most, before the first problem.
        QVERIFY2(*showsBetweenBoxes <= 1, qPrintable(QString::number(*showsBetweenBoxes)));
    }

    // The main window's close box during a job says that a job is running and offers to stop it.
    void closingTheWindowDuringAJobOffersToStopIt() {
        TempDirs dirs;
        MakeLongBook(dirs.book);
        FakeChooser chooser({dirs.book.string()});
        CScanDlg dialog(chooser.Browser());
        dialog.show();
        Button(&dialog, 1006)->click();
        QString question;
        QStringList after;
        UiScript script;
        script
            .Then([] { return VisibleWindow<orfeo::JobProgressDlg>() != nullptr; },
                  [&dialog] { QTimer::singleShot(0, &dialog, [&dialog] { dialog.close(); }); })
            .Then([] { return VisibleWindow<QMessageBox>() != nullptr; },
                  [&question] {
                      QMessageBox* box = VisibleWindow<QMessageBox>();
                      question = box->text();
                      for (QPushButton* button : box->findChildren<QPushButton*>()) {
                          if (button->text() == QStringLiteral("Stop"))
                              QTest::mouseClick(box->windowHandle(), Qt::LeftButton, {},
                                                button->mapTo(box, button->rect().center()));
                      }
                  })
            .AnswerMessage(&after)
            .AnswerMessage(&after);
        Button(&dialog, 1007)->click();
        QVERIFY(script.Finished());
        QVERIFY(dialog.isVisible());
        QCOMPARE(question, QStringLiteral("A job is running. Stop it after the pages in hand?"));
        QVERIFY2(after.size() == 2 && after[0].startsWith("Stopped: ") && after[1] == "Processing ended.",
                 qPrintable(after.join(" | ")));
    }

    // Every window opens inside the screen's available area, frame and all, whatever the screen's size and
    // scale (the offscreen screen is 800 x 600; run with QT_SCALE_FACTOR for larger scales), and keeps its
    // panes usable.
    void windowsOpenInsideTheScreen_data() {
        QTest::addColumn<QString>("window");
        for (const char* window : {"main window", "chooser", "check", "check of a merge", "viewer",
                                   "viewer of a merge", "Problems", "progress"})
            QTest::newRow(window) << QString::fromLatin1(window);
    }
    void windowsOpenInsideTheScreen() {
        QFETCH(QString, window);
        TempDirs dirs;
        MakeBooks(dirs.book, dirs.book2, 2);
        CScanDlg main(FakeChooser({}).Browser());
        main.show();
        const bool merge = window.endsWith(QStringLiteral("merge"));
        std::vector<orfeo::ViewEntry> views;
        for (int i = 1; i <= 2; ++i) {
            const QString name = QStringLiteral("page%1.tif").arg(i);
            const QString book = QString::fromStdString(dirs.book.string()) + QLatin1Char('/');
            views.push_back(
                {name,
                 book + name,
                 book + "cache/automask/" + name,
                 merge ? QString::fromStdString(dirs.book2.string()) + "/scan_" + QString::number(i) + ".tif"
                       : QString(),
                 book + "pics/" + name,
                 {}});
        }
        std::unique_ptr<QWidget> shown;
        if (window == QStringLiteral("main window")) {
            shown = nullptr;
        } else if (window == QStringLiteral("chooser")) {
            shown = std::make_unique<orfeo::ShellFolderDialog>(QStringLiteral("Choose folder"), nullptr);
        } else if (window.startsWith(QStringLiteral("check"))) {
            shown = std::make_unique<orfeo::CheckDlg>(
                &main, QStringLiteral("Merge subscans"), merge, "new_scans/", QStringList(),
                [] { return orfeo::JobPlan(); }, views);
        } else if (window.startsWith(QStringLiteral("viewer"))) {
            shown = std::make_unique<orfeo::PageViewer>(&main, views, 0);
        } else if (window == QStringLiteral("Problems")) {
            shown =
                std::make_unique<orfeo::ProblemsDlg>(&main, QStringList(QString(300, QLatin1Char('x'))),
                                                     QStringLiteral("1 of 2 pages was not written."), views);
        } else {
            shown = std::make_unique<orfeo::JobProgressDlg>(&main, 2);
        }
        QWidget* tested = shown ? shown.get() : &main;
        tested->show();
        QVERIFY(QTest::qWaitForWindowExposed(tested));
        const QRect area = tested->screen()->availableGeometry();
        QVERIFY2(area.contains(tested->frameGeometry()),
                 qPrintable(QStringLiteral("%1 at %2,%3 %4 x %5 on %6 x %7")
                                .arg(window)
                                .arg(tested->frameGeometry().x())
                                .arg(tested->frameGeometry().y())
                                .arg(tested->frameGeometry().width())
                                .arg(tested->frameGeometry().height())
                                .arg(area.width())
                                .arg(area.height())));
        if (auto* viewer = qobject_cast<orfeo::PageViewer*>(tested)) {
            for (const orfeo::PicturePane* pane : viewer->Panes())
                QVERIFY2(
                    pane->width() >= 150 && pane->height() >= 150,
                    qPrintable(QStringLiteral("a pane of %1 x %2").arg(pane->width()).arg(pane->height())));
        }
    }

    // Run in the check is on only where the run would go; where it would be refused the window says why,
    // and a merge refused for its second folder's length shows the pairing as far as it goes.
    void checkSaysWhyRunIsOff_data() {
        QTest::addColumn<int>("pages");   // in folder 1 (0: no folder chosen)
        QTest::addColumn<int>("pages2");  // in folder 2, for a merge (-1: a back job)
        QTest::newRow("no folder") << 0 << -1;
        QTest::newRow("folder 2 shorter") << 6 << 2;
        QTest::newRow("a merge that would run") << 6 << 6;
    }
    void checkSaysWhyRunIsOff() {
        QFETCH(int, pages);
        QFETCH(int, pages2);
        TempDirs dirs;
        std::deque<std::optional<std::string>> answers;
        if (pages > 0) {
            MakeBooks(dirs.book, dirs.book2, static_cast<unsigned>(pages));
            for (int i = pages2 + 1; i <= pages; ++i)
                fs::remove(dirs.book2 / ("scan_" + std::to_string(i) + ".tif"));
            answers = {Folder(dirs.book), Folder(dirs.book2)};
        }
        FakeChooser chooser(answers);
        CScanDlg dialog(chooser.Browser());
        dialog.show();
        if (pages > 0) {
            Button(&dialog, 1006)->click();
            Button(&dialog, 1009)->click();
        }
        QString summary, why;
        bool runOn = true;
        QStringList second;
        UiScript script;
        script.Then(
            [] { return VisibleWindow<orfeo::CheckDlg>() && VisibleWindow<orfeo::CheckDlg>()->Ready(); },
            [&] {
                orfeo::CheckDlg* check = VisibleWindow<orfeo::CheckDlg>();
                summary = check->Summary();
                QPushButton* run = Button(check, QStringLiteral("Run"));
                runOn = run->isEnabled();
                why = run->toolTip();
                for (int row = 0; row < check->Table()->rowCount(); ++row)
                    second.append(check->Table()->item(row, 1)->text());
                QTest::keyClick(check->windowHandle(), Qt::Key_Escape);
            });
        Button(&dialog, pages2 < 0 ? 1101 : 1102)->click();
        QVERIFY(script.Finished());
        const QString off = QStringLiteral("Run is off: the run would be refused.");
        if (pages == 0) {
            QVERIFY(!runOn);
            QCOMPARE(summary, QStringLiteral("No scans are yet loaded.\n") + off);
            QCOMPARE(why, QStringLiteral("No scans are yet loaded."));
        } else if (pages2 < pages) {
            QVERIFY(!runOn);
            QCOMPARE(why, QStringLiteral("Folder 2 holds fewer scans (2) than folder 1 (6)."));
            QVERIFY2(summary.startsWith(why +
                                        QStringLiteral("\n2 of the 6 pages of folder 1 pair with a page of "
                                                       "folder 2; the other 4 have none.\n") +
                                        off),
                     qPrintable(summary));
            QCOMPARE(second, QStringList({"scan_1.tif", "scan_2.tif", "(no page)", "(no page)", "(no page)",
                                          "(no page)"}));
        } else {
            QVERIFY(runOn);
            QVERIFY(why.isEmpty());
            QVERIFY2(!summary.contains(off), qPrintable(summary));
        }
    }

    // After Save... in the Problems window, Enter is OK's again (it opened the save dialog once more).
    void problemsWindowKeepsEnterForOkAfterSave() {
        TempDirs dirs;
        fs::create_directories(dirs.root);
        const QString saved = QString::fromStdString((dirs.root / "problems.txt").string());
        orfeo::ProblemsDlg window(nullptr, QStringList("File \"/x/page1.tif\" not found."),
                                  QStringLiteral("1 of 1 page was not written."));
        ShowCounter<QFileDialog> saveDialogs;
        UiScript script;
        script
            .Then([&window] { return window.isVisible(); },
                  [&window] {
                      // By the mouse, which gives the button the focus as a person's click does.
                      QPushButton* save = Button(&window, QStringLiteral("Save..."));
                      QTimer::singleShot(0, save, [save] { QTest::mouseClick(save, Qt::LeftButton); });
                  })
            .Then([] { return VisibleWindow<QFileDialog>() != nullptr; },
                  [saved] {
                      QFileDialog* files = VisibleWindow<QFileDialog>();
                      files->selectFile(saved);
                      QMetaObject::invokeMethod(files, &QDialog::accept, Qt::QueuedConnection);
                  })
            .Then([&window] { return !VisibleWindow<QFileDialog>() && window.isVisible(); },
                  [&window] { QTest::keyClick(window.focusWidget(), Qt::Key_Return); });
        // Should Enter open the save dialog again, it is cancelled and the window closed, for the checks
        // below.
        UiScript again;
        again
            .Then([&script] { return script.Finished() && VisibleWindow<QFileDialog>(); },
                  [] {
                      QMetaObject::invokeMethod(VisibleWindow<QFileDialog>(), &QDialog::reject,
                                                Qt::QueuedConnection);
                  })
            .Then([&window] { return !VisibleWindow<QFileDialog>() && window.isVisible(); },
                  [&window] { QMetaObject::invokeMethod(&window, &QDialog::reject, Qt::QueuedConnection); });
        const int result = window.exec();
        QVERIFY(script.Finished());
        QCOMPARE(result, int(QDialog::Accepted));
        QCOMPARE(saveDialogs.shows, 1);
        QCOMPARE(QString::fromStdString(orfeo::test::Slurp(dirs.root / "problems.txt")),
                 QStringLiteral("File \"/x/page1.tif\" not found.\n1 of 1 page was not written.\n"));
    }

    // A folder dropped on the main window is chosen as Open folder (upper half) or Open folder 2 (lower half)
    // chooses one, with the same counts and messages; anything else is refused with a word.
    void droppedFolderIsChosen_data() {
        QTest::addColumn<QStringList>("dropped");  // under the temporary folder
        QTest::addColumn<bool>("lower");
        QTest::addColumn<QString>("input");  // the field it fills, "Input:" or "Input 2:"; empty: refused
        QTest::addColumn<QString>("message");
        QTest::newRow("a folder, upper half") << QStringList("book") << false << "Input:"
                                              << "";
        QTest::newRow("a folder, lower half") << QStringList("book2") << true << "Input 2:"
                                              << "";
        QTest::newRow("a folder without pages")
            << QStringList("empty") << true << "Input 2:"
            << "Folder \"<dir>/empty/\" holds no pages: no .tif, .tiff, .bmp, .jpg, .jpeg, .gif, .pnm, .ppm, "
               ".pgm or .pbm files.";
        QTest::newRow("a file")
            << QStringList("book/page1.tif") << false << ""
            << "\"<dir>/book/page1.tif\" is not a folder: drop the folder that holds the pages.";
        QTest::newRow("two folders") << QStringList({"book", "book2"}) << false << ""
                                     << "Drop one folder at a time: 2 items were dropped.";
    }
    void droppedFolderIsChosen() {
        QFETCH(QStringList, dropped);
        QFETCH(bool, lower);
        QFETCH(QString, input);
        QFETCH(QString, message);
        TempDirs dirs;
        MakeBooks(dirs.book, dirs.book2, 2);
        fs::create_directories(dirs.root / "empty");
        const QString dir = QString::fromStdString(dirs.root.string());
        message.replace(QStringLiteral("<dir>"), dir);
        CScanDlg dialog(FakeChooser({}).Browser());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QList<QUrl> urls;
        for (const QString& name : dropped) urls.append(QUrl::fromLocalFile(dir + QLatin1Char('/') + name));
        QMimeData data;
        data.setUrls(urls);
        const QPoint at(dialog.width() / 2, lower ? dialog.height() * 3 / 4 : dialog.height() / 4);
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&dialog, &enter);
        QVERIFY(enter.isAccepted());
        QStringList messages;
        UiScript script;
        if (!message.isEmpty()) script.AnswerMessage(&messages);
        QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&dialog, &drop);
        QLineEdit* field = input == QStringLiteral("Input:") ? dialog.m_editInput : dialog.m_editInput2;
        if (!input.isEmpty()) {
            QTRY_COMPARE(field->text(), dir + QLatin1Char('/') + dropped.front() + QLatin1Char('/'));
            QCOMPARE(
                dialog.findChild<QLabel*>(input == QStringLiteral("Input:") ? "PageCount" : "PageCount2")
                    ->text(),
                dropped.front() == QStringLiteral("empty") ? QStringLiteral("0 pages")
                                                           : QStringLiteral("2 pages"));
        }
        if (!message.isEmpty()) {
            QTRY_VERIFY(script.Finished());
            QCOMPARE(messages, QStringList(message.remove(QChar(0x200B))));
        }
        if (input.isEmpty())
            QVERIFY(dialog.m_editInput->text().isEmpty() && dialog.m_editInput2->text().isEmpty());
    }

    // The output fields' menu opens the folder with the desktop's own handler (its parent, before a run made
    // it); the field's own Copy stays.
    void outputFieldOpensInTheFileManager() {
        TempDirs dirs;
        MakeBooks(dirs.book, dirs.book2, 1);
        FakeChooser chooser({Folder(dirs.book)});
        CScanDlg dialog(chooser.Browser());
        dialog.show();
        Button(&dialog, 1006)->click();
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "Open");
        QStringList actions;
        UiScript script;
        script.Then(
            [] { return VisibleWindow<QMenu>() != nullptr; },
            [&actions] {
                QMenu* menu = VisibleWindow<QMenu>();
                QAction* open = nullptr;
                for (QAction* action : menu->actions()) {
                    actions.append(action->text().remove(QLatin1Char('&')).section(QLatin1Char('\t'), 0, 0));
                    if (action->text() == QStringLiteral("Open in file manager")) open = action;
                }
                if (open) open->trigger();
                menu->close();
            });
        QLineEdit* output = dialog.m_editOutput;
        QTimer::singleShot(0, output, [output] { emit output->customContextMenuRequested(QPoint(5, 5)); });
        QTRY_VERIFY(script.Finished());
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QVERIFY2(actions.contains(QStringLiteral("Copy")), qPrintable(actions.join(", ")));
        QCOMPARE(catcher.urls,
                 QList<QUrl>({QUrl::fromLocalFile(QString::fromStdString(dirs.book.string()))}));
    }

    // Problem rows, the viewer's panes and the read-only fields take their colours from the palette: they
    // read on a dark theme as on a light one.
    void coloursFollowThePalette_data() {
        QTest::addColumn<bool>("dark");
        QTest::newRow("light") << false;
        QTest::newRow("dark") << true;
    }
    void coloursFollowThePalette() {
        QFETCH(bool, dark);
        const QPalette before = QApplication::palette();
        QPalette palette = before;
        if (dark) {
            palette.setColor(QPalette::Window, QColor(45, 45, 48));
            palette.setColor(QPalette::WindowText, QColor(230, 230, 230));
            palette.setColor(QPalette::Base, QColor(30, 30, 30));
            palette.setColor(QPalette::Text, QColor(230, 230, 230));
            palette.setColor(QPalette::Button, QColor(55, 55, 58));
            palette.setColor(QPalette::ButtonText, QColor(230, 230, 230));
            palette.setColor(QPalette::Dark, QColor(20, 20, 20));
        }
        QApplication::setPalette(palette);
        TempDirs dirs;
        MakeBooks(dirs.book, dirs.book2, 2);
        fs::remove(dirs.book / "cache" / "automask" / "page2.tif");
        FakeChooser chooser({Folder(dirs.book)});
        CScanDlg dialog(chooser.Browser());
        dialog.show();
        Button(&dialog, 1006)->click();
        QColor text, ground, paneGround;
        UiScript script;
        script
            .Then(
                [] { return VisibleWindow<orfeo::CheckDlg>() && VisibleWindow<orfeo::CheckDlg>()->Ready(); },
                [&text, &ground, dark] {
                    orfeo::CheckDlg* check = VisibleWindow<orfeo::CheckDlg>();
                    QTableWidgetItem* item = check->Table()->item(1, 0);  // page2.tif, not written
                    text = item->foreground().color();
                    ground = check->Table()->palette().color(QPalette::Base);
                    Shoot(check, dark ? "check-dark" : "check-light");
                    QTableWidget* table = check->Table();
                    QTimer::singleShot(0, table, [table] { QTest::keyClick(table, Qt::Key_Return); });
                })
            .Then(
                [] {
                    return VisibleWindow<orfeo::PageViewer>() &&
                           VisibleWindow<orfeo::PageViewer>()->Settled();
                },
                [&paneGround, dark] {
                    orfeo::PageViewer* viewer = VisibleWindow<orfeo::PageViewer>();
                    const QImage pane = viewer->Panes().front()->grab().toImage();
                    paneGround = pane.pixelColor(pane.width() - 2, pane.height() - 2);
                    Shoot(viewer, dark ? "viewer-dark" : "viewer-light");
                    QTest::keyClick(viewer, Qt::Key_Escape);
                })
            .Then([] { return VisibleWindow<orfeo::CheckDlg>() && !VisibleWindow<orfeo::PageViewer>(); },
                  [] { QTest::keyClick(VisibleWindow<orfeo::CheckDlg>(), Qt::Key_Escape); });
        Button(&dialog, 1101)->click();
        Shoot(&dialog, dark ? "main-dark" : "main-light");
        QApplication::setPalette(before);
        QVERIFY(script.Finished());
        QVERIFY2(
            Contrast(text, ground) >= 4.5,
            qPrintable(
                QStringLiteral("%1 on %2: %3").arg(text.name(), ground.name()).arg(Contrast(text, ground))));
        QCOMPARE(text.red() > text.green() * 2, true);  // still a red
        QCOMPARE(paneGround.rgb(), palette.color(QPalette::Dark).rgb());
    }

    void preselectionIsUsedOnceByEitherCommand() {
        TempDirs dirs;
        const fs::path made = dirs.root / "made here";
        CScanDlg dialog;  // the real folder chooser
        orfeo::SetMainWindow(&dialog);
        dialog.show();
        QString selectedAtOpening;
        QStringList messages;
        UiScript script;
        // While the chooser is open, the main window takes clicks through the window system.
        script
            .Then([] { return VisibleWindow<orfeo::ShellFolderDialog>() != nullptr; },
                  [&dialog] {
                      QMetaObject::invokeMethod(
                          &dialog,
                          [&dialog] {
                              QPushButton* back = Button(&dialog, 1007);
                              QTest::mouseClick(dialog.windowHandle(), Qt::LeftButton, {},
                                                back->mapTo(&dialog, back->rect().center()));
                          },
                          Qt::QueuedConnection);
                  })
            .AnswerMessage(&messages)
            .Then([] { return VisibleWindow<orfeo::ShellFolderDialog>() && !VisibleWindow<QMessageBox>(); },
                  [&dirs] {
                      QVERIFY(VisibleWindow<orfeo::ShellFolderDialog>()->SetSelection(
                          QString::fromStdString(dirs.root.string())));
                      ClickLater(VisibleWindow<orfeo::ShellFolderDialog>()->findChild<QPushButton*>("1000"));
                  })
            .Then([] { return VisibleWindow<orfeo::CNewFolderDlg>() != nullptr; },
                  [&dialog, &dirs] {
                      // It blocks the main window but not the chooser, as input through the window
                      // system finds: a click on "Create back subscans" does nothing, one on the tree
                      // selects there.
                      orfeo::CNewFolderDlg* newFolder = VisibleWindow<orfeo::CNewFolderDlg>();
                      QPushButton* back = Button(&dialog, 1007);
                      QTest::mouseClick(dialog.windowHandle(), Qt::LeftButton, {},
                                        back->mapTo(&dialog, back->rect().center()));
                      QTest::qWait(100);
                      QVERIFY(!VisibleWindow<QMessageBox>());
                      orfeo::ShellFolderDialog* chooser = VisibleWindow<orfeo::ShellFolderDialog>();
                      QTreeWidget* tree = chooser->Tree();
                      QTreeWidgetItem* above = tree->itemAbove(tree->currentItem());
                      tree->scrollToItem(above);
                      QTest::mouseClick(
                          chooser->windowHandle(), Qt::LeftButton, {},
                          tree->viewport()->mapTo(chooser, tree->visualItemRect(above).center()));
                      QCOMPARE(tree->currentItem(), above);
                      QVERIFY(chooser->SetSelection(QString::fromStdString(dirs.root.string())));
                      QTest::keyClicks(newFolder->m_editName, QStringLiteral("made here"));
                      ClickLater(newFolder->findChild<QPushButton*>(QStringLiteral("IDOK")));
                  });
        Button(&dialog, 1006)->click();
        QVERIFY(script.Finished());
        QCOMPARE(messages, QStringList("No scans are yet loaded."));
        QVERIFY(fs::is_directory(made));
        QVERIFY(dialog.m_editInput->text().isEmpty());  // the chooser closed without a result

        UiScript confirm;
        confirm
            .Then([] { return VisibleWindow<orfeo::ShellFolderDialog>() != nullptr; },
                  [&selectedAtOpening] {
                      orfeo::ShellFolderDialog* chooser = VisibleWindow<orfeo::ShellFolderDialog>();
                      selectedAtOpening = chooser->SelectedPath().value_or(QString());
                      ClickLater(chooser->OkButton());
                  })
            .AnswerMessage(&messages);  // the new folder holds no pages, which is said at once
        Button(&dialog, 1009)->click();
        QVERIFY(confirm.Finished());
        QCOMPARE(messages.last(),
                 QString::fromStdString("Folder \"" + Folder(made) +
                                        "\" holds no pages: no .tif, "
                                        ".tiff, .bmp, .jpg, .jpeg, .gif, .pnm, .ppm, .pgm or .pbm files."));
        QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("PageCount2"))->text(), QStringLiteral("0 pages"));
        orfeo::SetMainWindow(nullptr);
        QCOMPARE(selectedAtOpening, QString::fromStdString(made.string()));
        QCOMPARE(dialog.m_editInput2->text(), QString::fromStdString(Folder(made)));
        QVERIFY(dialog.m_editInput->text().isEmpty());
        QVERIFY(orfeo::g_szPreselectFolder.empty());
    }

private:
    struct TempDirs {
        orfeo::test::TempDir dir;
        fs::path root = dir.Path();
        fs::path book = root / "book";
        fs::path book2 = root / "book2";
    };
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
