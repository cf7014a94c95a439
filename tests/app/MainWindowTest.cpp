#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
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
#include <cstdio>
#include <deque>
#include <filesystem>
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

}  // namespace

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
        again.AnswerMessage(&messages).AnswerMessage(&messages);
        Button(&dialog, 1007)->click();
        QVERIFY(again.Finished());
        QCOMPARE(messages.mid(2), QStringList({"File \"" + QString::fromStdString(Folder(dirs.book)) +
                                                   "cache/automask/page1.tif\" not found.",
                                               "Processing ended."}));
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
                QCOMPARE(progress->windowModality(), Qt::WindowModal);
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
            QRegularExpression(QStringLiteral("^Stopped: (\\d+) of 150 scans written\\.$"))
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
        MakeBooks(dirs.book, dirs.book2, 2);
        fs::remove(dirs.book / "cache" / "automask" / "page2.tif");
        FakeChooser chooser({Folder(dirs.book)});
        CScanDlg dialog(chooser.Browser());
        dialog.show();
        Button(&dialog, 1006)->click();
        const auto before = orfeo::test::Snapshot(dirs.root, true);
        const auto settled = [] {
            return VisibleWindow<orfeo::PageViewer>() && VisibleWindow<orfeo::PageViewer>()->Settled();
        };
        QStringList titles, notes;
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
            .Then(settled,
                  [&] {
                      orfeo::PageViewer* viewer = VisibleWindow<orfeo::PageViewer>();
                      titles.append(viewer->windowTitle());
                      pictured =
                          viewer->Panes().at(0)->HasPicture() && viewer->Panes().at(0)->Note().isEmpty();
                      notes.append(viewer->Panes().at(1)->Note());
                      QTest::keyClick(viewer, Qt::Key_PageDown);
                  })
            .Then([settled] { return settled() && VisibleWindow<orfeo::PageViewer>()->Current() == 1; },
                  [&] {
                      orfeo::PageViewer* viewer = VisibleWindow<orfeo::PageViewer>();
                      titles.append(viewer->windowTitle());
                      pictured = pictured && viewer->Panes().at(0)->HasPicture();
                      notes.append(viewer->Panes().at(0)->Note());
                      QTest::keyClick(viewer, Qt::Key_Escape);
                  })
            .Then([] { return VisibleWindow<orfeo::CheckDlg>() && !VisibleWindow<orfeo::PageViewer>(); },
                  [] { QTest::keyClick(VisibleWindow<orfeo::CheckDlg>(), Qt::Key_Escape); });
        Button(&dialog, 1101)->click();
        QVERIFY(script.Finished());
        QCOMPARE(titles, QStringList({"View: page1.tif (1 of 2)", "View: page2.tif (2 of 2)"}));
        QVERIFY(pictured);
        QCOMPARE(notes.value(0), QStringLiteral("No output yet."));
        QVERIFY2(notes.value(1).endsWith(QStringLiteral("page2.tif\" not found.")),
                 qPrintable(notes.value(1)));
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
            .Then([] { return VisibleWindow<orfeo::ProblemsDlg>() != nullptr; },
                  [] { ClickLater(Button(VisibleWindow<orfeo::ProblemsDlg>(), QStringLiteral("OK"))); })
            .AnswerMessage(&messages);
        Button(&dialog, 1007)->click();
        QVERIFY(script.Finished());
        QCOMPARE(messages.size(), 6);
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
