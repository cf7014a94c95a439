#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <string>

#include "chooser/BrowseForFolder.h"
#include "chooser/CNewFolderDlg.h"
#include "chooser/DialogUnits.h"
#include "chooser/ShellFolderDialog.h"
#include "tests/support/UiScript.h"

using orfeo::BrowseForFolder;
using orfeo::CNewFolderDlg;
using orfeo::ShellFolderDialog;
using orfeo::test::ClickLater;
using orfeo::test::UiScript;
using orfeo::test::VisibleWindow;

namespace {

ShellFolderDialog* Chooser() { return VisibleWindow<ShellFolderDialog>(); }
CNewFolderDlg* NewFolderDialog() { return VisibleWindow<CNewFolderDlg>(); }
QPushButton* CreateButton() { return Chooser()->findChild<QPushButton*>(QStringLiteral("1000")); }
QPushButton* Button(QWidget* window, const QString& text) {
    for (QPushButton* button : window->findChildren<QPushButton*>()) {
        if (button->text() == text) return button;
    }
    return nullptr;
}
QString Selected() { return Chooser()->SelectedPath().value_or(QStringLiteral("<none>")); }
std::string Local(const QString& path) { return QFile::encodeName(path).toStdString(); }

// Selects `folder` in the open chooser, clicks "Create new folder", types `name` and confirms.
void CreateFolderSteps(UiScript& script, const QString& folder, const QString& name) {
    script
        .Then([] { return Chooser() != nullptr; },
              [folder] {
                  QVERIFY(Chooser()->SetSelection(folder));
                  ClickLater(CreateButton());
              })
        .Then([] { return NewFolderDialog() != nullptr; },
              [name] {
                  CNewFolderDlg* dialog = NewFolderDialog();
                  QTest::keyClicks(dialog->m_editName, name);
                  ClickLater(Button(dialog, QStringLiteral("OK")));
              });
}

}  // namespace

class ChooserTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        orfeo::g_strCurrentFolder.clear();
        orfeo::g_szPreselectFolder.clear();
        QVERIFY(m_dir.isValid());
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("book")));
    }

    void newFolderDialogTakesItsTextsAndKeepsTheName() {
        CNewFolderDlg dialog;
        dialog.m_strLabel = QStringLiteral("Folder");
        dialog.m_strTitle = QStringLiteral("New folder");
        dialog.m_strCancel = QStringLiteral("Cancel");
        UiScript script;
        script.Then([] { return NewFolderDialog() != nullptr; },
                    [] {
                        CNewFolderDlg* shown = NewFolderDialog();
                        QCOMPARE(shown->windowTitle(), QStringLiteral("New folder"));
                        QCOMPARE(shown->findChild<QLabel*>(QStringLiteral("1138"))->text(),
                                 QStringLiteral("Folder"));
                        QVERIFY(Button(shown, QStringLiteral("Cancel")));
                        QVERIFY(Button(shown, QStringLiteral("OK"))->isDefault());
                        QCOMPARE(shown->size(), orfeo::DialogUnits(shown->font()).ToPixels(186, 68));
                        QTest::keyClicks(shown->m_editName, QStringLiteral("  two  blanks "));
                        QTest::keyClick(shown->m_editName, Qt::Key_Return);  // Enter confirms
                    });
        QCOMPARE(dialog.exec(), int(QDialog::Accepted));
        QVERIFY(script.Finished());
        QCOMPARE(dialog.GetName(), QStringLiteral("  two  blanks "));
    }

    void newFolderDialogEmptyTextsEmptyNameAndEscape() {
        CNewFolderDlg empty;
        UiScript script;
        script.Then([] { return NewFolderDialog() != nullptr; },
                    [] {
                        CNewFolderDlg* shown = NewFolderDialog();
                        QCOMPARE(shown->windowTitle(), QString());
                        QCOMPARE(shown->findChild<QLabel*>(QStringLiteral("1138"))->text(), QString());
                        QVERIFY(Button(shown, QString()));  // the Cancel button, its text emptied
                        ClickLater(Button(shown, QStringLiteral("OK")));
                    });
        QCOMPARE(empty.exec(), int(QDialog::Accepted));
        QCOMPARE(empty.GetName(), QString());

        CNewFolderDlg escaped;
        UiScript escape;
        escape.Then([] { return NewFolderDialog() != nullptr; },
                    [] {
                        QTest::keyClicks(NewFolderDialog()->m_editName, QStringLiteral("x"));
                        QTest::keyClick(NewFolderDialog(), Qt::Key_Escape);
                    });
        QCOMPARE(escaped.exec(), int(QDialog::Rejected));
        QVERIFY(script.Finished() && escape.Finished());
        QCOMPARE(escaped.GetName(), QString());
    }

    void chooserOpensOnTheComputerItemAndCancelReturnsNothing() {
        UiScript script;
        script.Then([] { return Chooser() != nullptr; },
                    [] {
                        ShellFolderDialog* chooser = Chooser();
                        QCOMPARE(chooser->windowTitle(), QStringLiteral("Open Folder"));
                        QCOMPARE(chooser->Tree()->currentItem()->text(0), QStringLiteral("Computer"));
                        QVERIFY(!chooser->OkButton()->isEnabled());  // the computer item has no path
                        QVERIFY(!chooser->windowFlags().testFlag(Qt::WindowContextHelpButtonHint));
                        QPushButton* create = CreateButton();
                        QVERIFY(create);
                        QCOMPARE(create->text(), QStringLiteral("Create new folder"));
                        // At the bottom left, on the line of OK and Cancel, wide enough for its text.
                        QCOMPARE(create->pos(), QPoint(10, chooser->height() - 36));
                        QCOMPARE(create->height(), 23);
                        QVERIFY(create->width() >= std::max(110, create->sizeHint().width()));
                        QCOMPARE(create->y(), chooser->OkButton()->y());
                        QVERIFY(create->geometry().right() < chooser->OkButton()->x());
                        QVERIFY(!chooser->Tree()->currentItem()->icon(0).isNull());
                        ClickLater(Button(chooser, QStringLiteral("Cancel")));
                    });
        std::string path = "untouched";
        QVERIFY(!BrowseForFolder(path, QStringLiteral("Choose folder")));
        QCOMPARE(path, std::string("untouched"));
        QVERIFY(script.Finished());
    }

    void okReturnsTheSelectedFolder() {
        const QString book = m_dir.filePath(QStringLiteral("book"));
        UiScript script;
        script.Then([] { return Chooser() != nullptr; },
                    [book] {
                        QVERIFY(!Chooser()->SetSelection(book + QStringLiteral("/missing")));
                        QVERIFY(Chooser()->SetSelection(book));
                        QVERIFY(Chooser()->OkButton()->isEnabled());
                        // A second chooser does not open while this one is.
                        std::string second;
                        QVERIFY(!BrowseForFolder(second, QStringLiteral("Choose folder")));
                        ClickLater(Chooser()->OkButton());
                    });
        std::string path;
        QVERIFY(BrowseForFolder(path, QStringLiteral("Choose folder")));
        QVERIFY(script.Finished());
        QCOMPARE(path, Local(book));
        QCOMPARE(orfeo::g_strCurrentFolder, Local(book));
    }

    void createdFolderClosesTheChooserAndIsPreselectedOnce() {
        const QString folder = m_dir.filePath(QStringLiteral(" new scans "));
        UiScript create;
        CreateFolderSteps(create, m_dir.path(), QStringLiteral(" new scans "));
        std::string path = "untouched";
        QVERIFY(!BrowseForFolder(path, QStringLiteral("Choose folder")));
        QCOMPARE(path, std::string("untouched"));
        QVERIFY(create.Finished());
        QVERIFY(QFileInfo(folder).isDir());
        QCOMPARE(orfeo::g_szPreselectFolder, Local(folder));

        QString first, second;
        UiScript reopen;
        reopen.Then([] { return Chooser() != nullptr; },
                    [&first] {
                        first = Selected();
                        ClickLater(Button(Chooser(), QStringLiteral("Cancel")));
                    });
        QVERIFY(!BrowseForFolder(path, QStringLiteral("Choose folder")));
        QCOMPARE(first, folder);
        QVERIFY(orfeo::g_szPreselectFolder.empty());

        UiScript again;
        again.Then([] { return Chooser() != nullptr; },
                   [&second] {
                       second = Chooser()->Tree()->currentItem()->text(0);
                       ClickLater(Button(Chooser(), QStringLiteral("Cancel")));
                   });
        QVERIFY(!BrowseForFolder(path, QStringLiteral("Choose folder")));
        QVERIFY(reopen.Finished() && again.Finished());
        QCOMPARE(second, QStringLiteral("Computer"));
    }

    void existingFolderKeepsTheChooserOpenWithItSelected() {
        const QString book = m_dir.filePath(QStringLiteral("book"));
        QStringList messages;
        QString selected, selectedAfterEmptyName;
        bool treeHasFocus = false;
        UiScript script;
        CreateFolderSteps(script, m_dir.path(), QStringLiteral("book"));
        // The command selects the folder once the message is dismissed.
        script.AnswerMessage(&messages).Then(
            [book] { return Chooser() && !VisibleWindow<QMessageBox>() && Selected() == book; },
            [&selected, &treeHasFocus] {
                selected = Selected();
                treeHasFocus = Chooser()->focusWidget() == Chooser()->Tree();
            });
        // An empty name names the selected folder itself, which exists.
        CreateFolderSteps(script, m_dir.path(), QString());
        script.AnswerMessage(&messages).Then([] { return Chooser() && !VisibleWindow<QMessageBox>(); },
                                             [&selectedAfterEmptyName] {
                                                 selectedAfterEmptyName = Selected();
                                                 ClickLater(Button(Chooser(), QStringLiteral("Cancel")));
                                             });
        std::string path;
        QVERIFY(!BrowseForFolder(path, QStringLiteral("Choose folder")));
        QVERIFY(script.Finished());
        QCOMPARE(messages, QStringList({QStringLiteral("The folder is existent: ") + book,
                                        QStringLiteral("The folder is existent: ") + m_dir.path() + "/"}));
        QCOMPARE(selected, book);
        QVERIFY(treeHasFocus);
        QCOMPARE(selectedAfterEmptyName, m_dir.path());
        QCOMPARE(orfeo::g_szPreselectFolder, Local(m_dir.path() + "/"));
    }

    // After the New folder dialog is cancelled, the keys go to the tree again: a typed name selects.
    void cancellingTheNewFolderDialogGivesTheTreeItsKeys() {
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("big")));
        QString selected;
        UiScript script;
        script
            .Then([] { return Chooser() != nullptr; },
                  [this] {
                      QVERIFY(Chooser()->SetSelection(m_dir.path()));
                      Chooser()->Tree()->currentItem()->setExpanded(true);
                      ClickLater(CreateButton());
                  })
            .Then([] { return NewFolderDialog() != nullptr; },
                  [] { ClickLater(Button(NewFolderDialog(), QStringLiteral("Cancel"))); })
            .Then([] { return !NewFolderDialog() && QApplication::focusWidget() == Chooser()->Tree(); },
                  [&selected] {
                      QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("big"));
                      selected = Selected();
                      ClickLater(Button(Chooser(), QStringLiteral("Cancel")));
                  });
        std::string path;
        QVERIFY(!BrowseForFolder(path, QStringLiteral("Choose folder")));
        QVERIFY(script.Finished());
        QCOMPARE(selected, m_dir.filePath(QStringLiteral("big")));
    }

    // Made as small as it goes, the chooser still shows its three buttons side by side.
    void theChooserKeepsItsButtonsApartAtItsSmallest() {
        bool apart = false;
        UiScript script;
        script.Then([] { return Chooser() != nullptr; },
                    [&apart] {
                        Chooser()->resize(1, 1);
                        const QRect create = CreateButton()->geometry();
                        const QRect ok = Button(Chooser(), QStringLiteral("OK"))->geometry();
                        const QRect cancel = Button(Chooser(), QStringLiteral("Cancel"))->geometry();
                        apart = create.right() < ok.left() && ok.right() < cancel.left() &&
                                cancel.right() < Chooser()->width() && create.left() >= 0;
                        ClickLater(Button(Chooser(), QStringLiteral("Cancel")));
                    });
        std::string path;
        QVERIFY(!BrowseForFolder(path, QStringLiteral("Choose folder")));
        QVERIFY(script.Finished());
        QVERIFY(apart);
    }

    void folderThatCannotBeCreatedClosesTheChooser() {
        const QString wanted = m_dir.filePath(QStringLiteral("missing/child"));
        QStringList messages;
        UiScript script;
        CreateFolderSteps(script, m_dir.path(), QStringLiteral("missing/child"));
        script.AnswerMessage(&messages);
        std::string path;
        QVERIFY(!BrowseForFolder(path, QStringLiteral("Choose folder")));
        QVERIFY(script.Finished());
        // With the system's reason: "missing" is not there to hold "child".
        QCOMPARE(messages, QStringList(QStringLiteral("Can't create folder ") + wanted +
                                       ": No such file or directory."));
        QVERIFY(!QFileInfo::exists(wanted));
        QCOMPARE(orfeo::g_szPreselectFolder, Local(wanted));  // the next opening tries it once

        // It cannot select what is not there: the computer item is highlighted, as without a preselection,
        // so that OK never picks an item that is not shown.
        QString selectedAtOpening;
        bool okEnabled = true;
        UiScript reopen;
        reopen.Then([] { return Chooser() != nullptr; },
                    [&selectedAtOpening, &okEnabled] {
                        QTreeWidgetItem* current = Chooser()->Tree()->currentItem();
                        selectedAtOpening = current && current->isSelected() ? current->text(0) : QString();
                        okEnabled = Chooser()->OkButton()->isEnabled();
                        ClickLater(Button(Chooser(), QStringLiteral("Cancel")));
                    });
        QVERIFY(!BrowseForFolder(path, QStringLiteral("Choose folder")));
        QVERIFY(reopen.Finished());
        QCOMPARE(selectedAtOpening, QStringLiteral("Computer"));
        QVERIFY(!okEnabled);
        QVERIFY(orfeo::g_szPreselectFolder.empty());
    }

    void cancelledNewFolderDialogLeavesTheChooserAsItWas() {
        UiScript script;
        script
            .Then([] { return Chooser() != nullptr; },
                  [this] {
                      QVERIFY(Chooser()->SetSelection(m_dir.path()));
                      ClickLater(CreateButton());
                  })
            .Then([] { return NewFolderDialog() != nullptr; },
                  [] { ClickLater(Button(NewFolderDialog(), QStringLiteral("Cancel"))); })
            .Then([] { return Chooser() && !NewFolderDialog(); }, [] { ClickLater(Chooser()->OkButton()); });
        std::string path;
        QVERIFY(BrowseForFolder(path, QStringLiteral("Choose folder")));
        QVERIFY(script.Finished());
        QCOMPARE(path, Local(m_dir.path()));
        QVERIFY(orfeo::g_szPreselectFolder.empty());
    }

    // Right walks into a folder 20 levels down, one level per two presses, and the highlighted item stays
    // in view however deep; Left goes back up; the path field shows the whole path.
    void chooserWalksDeepFoldersByKeysAndKeepsTheItemInView() {
        QString deepest = m_dir.path() + QStringLiteral("/deep");
        for (int level = 1; level <= 20; ++level)
            deepest += QStringLiteral("/book_0001_level_%1").arg(level, 2, 10, QLatin1Char('0'));
        QVERIFY(QDir().mkpath(deepest));
        QString atBottom, inField, afterLeft;
        bool okEnabled = false, inView = false;
        UiScript script;
        script.Then([] { return Chooser() != nullptr; },
                    [&] {
                        QTreeWidget* tree = Chooser()->Tree();
                        QVERIFY(Chooser()->SetSelection(m_dir.path() + QStringLiteral("/deep")));
                        for (int press = 0; press < 2 * 20 + 2; ++press) {
                            QTest::keyClick(tree, Qt::Key_Right);
                            QCoreApplication::processEvents();
                        }
                        QCoreApplication::processEvents();
                        atBottom = Selected();
                        inField = Chooser()->PathField()->text();
                        okEnabled = Chooser()->OkButton()->isEnabled();
                        const QRect rect = tree->visualItemRect(tree->currentItem());
                        const int label = tree->sizeHintForIndex(tree->currentIndex()).width();
                        inView = rect.left() >= 0 && rect.left() + label <= tree->viewport()->width();
                        QTest::keyClick(tree, Qt::Key_Left);  // no subfolders: up to the parent
                        QTest::keyClick(tree, Qt::Key_Left);  // collapses it
                        QTest::keyClick(tree, Qt::Key_Left);  // up again
                        afterLeft = Selected();
                        ClickLater(Chooser()->OkButton());
                    });
        std::string path;
        QVERIFY(BrowseForFolder(path, QStringLiteral("Choose folder")));
        QVERIFY(script.Finished());
        QCOMPARE(atBottom, deepest);
        QCOMPARE(inField, deepest);
        QVERIFY(okEnabled);
        QVERIFY(inView);
        const QString twoUp = QFileInfo(QFileInfo(deepest).path()).path();
        QCOMPARE(afterLeft, twoUp);
        QCOMPARE(path, Local(twoUp));
    }

    void chooserTakesATypedPath_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("chosen");   // relative to the temporary folder; empty when refused
        QTest::addColumn<QString>("message");  // the refusal's end
        QTest::newRow("absolute") << "<dir>/book"
                                  << "book"
                                  << "";
        QTest::newRow("relative to the selection") << "book/"
                                                   << "book"
                                                   << "";
        QTest::newRow("with dots") << "<dir>/book/../book/."
                                   << "book"
                                   << "";
        QTest::newRow("hidden") << ".hidden"
                                << ".hidden"
                                << "";
        QTest::newRow("missing, a long name") << "missing/" + QString(200, QLatin1Char('x')) << ""
                                              << ": No such file or directory.";
        QTest::newRow("a file") << "page.tif"
                                << ""
                                << ": Not a directory.";
        // The home folder here is the temporary folder.
        QTest::newRow("from the home folder") << "~/book"
                                              << "book"
                                              << "";
        QTest::newRow("from the home folder, with a slash") << "~/book/"
                                                            << "book"
                                                            << "";
    }
    void chooserTakesATypedPath() {
        QFETCH(QString, typed);
        QFETCH(QString, chosen);
        QFETCH(QString, message);
        const QString dir = m_dir.path();
        const QByteArray home = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(dir));
        const auto restore = qScopeGuard([home] { qputenv("HOME", home); });
        QVERIFY(QDir(dir).mkpath(QStringLiteral(".hidden")));
        QFile file(dir + QStringLiteral("/page.tif"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QStringList messages;
        UiScript script;
        script.Then([] { return Chooser() != nullptr; },
                    [&] {
                        QVERIFY(Chooser()->SetSelection(dir));
                        QLineEdit* field = Chooser()->PathField();
                        field->selectAll();
                        QTest::keyClicks(field, QString(typed).replace(QStringLiteral("<dir>"), dir));
                        // From the event loop: a refusal's message runs a loop of its own.
                        QTimer::singleShot(0, field, [field] { QTest::keyClick(field, Qt::Key_Return); });
                    });
        bool fits = false;
        if (chosen.isEmpty()) {
            script.Then([] { return VisibleWindow<QMessageBox>() != nullptr; },
                        [&messages, &fits] {
                            QMessageBox* box = VisibleWindow<QMessageBox>();
                            // A long name breaks over lines instead of running out of the box.
                            auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
                            fits = label && label->minimumSizeHint().width() <= label->width() &&
                                   box->width() <= 800;
                            messages.append(box->text().remove(QChar(0x200B)));
                            ClickLater(Button(box, QStringLiteral("OK")));
                        });
            script.Then([] { return Chooser() && !VisibleWindow<QMessageBox>(); },
                        [] { ClickLater(Button(Chooser(), QStringLiteral("Cancel"))); });
        }
        // A path that should be taken but is refused ends the chooser instead of leaving it open.
        UiScript unexpected;
        if (!chosen.isEmpty()) {
            unexpected
                .Then([] { return VisibleWindow<QMessageBox>() != nullptr; },
                      [&messages] {
                          messages.append(VisibleWindow<QMessageBox>()->text().remove(QChar(0x200B)));
                          ClickLater(Button(VisibleWindow<QMessageBox>(), QStringLiteral("OK")));
                      })
                .Then([] { return Chooser() && !VisibleWindow<QMessageBox>(); },
                      [] { ClickLater(Button(Chooser(), QStringLiteral("Cancel"))); });
        }
        std::string path;
        const bool taken = BrowseForFolder(path, QStringLiteral("Choose folder"));
        QVERIFY2(messages.isEmpty() || chosen.isEmpty(), qPrintable(messages.join(" | ")));
        QCOMPARE(taken, !chosen.isEmpty());
        QVERIFY(script.Finished());
        if (!chosen.isEmpty()) {
            QCOMPARE(path, Local(dir + QLatin1Char('/') + chosen));
        } else {
            QCOMPARE(messages.size(), 1);
            QVERIFY(fits);
            QVERIFY2(messages[0].startsWith(QStringLiteral("There is no folder ") + dir + QLatin1Char('/')) &&
                         messages[0].endsWith(message),
                     qPrintable(messages[0]));
        }
    }

private:
    QTemporaryDir m_dir;
};

QTEST_MAIN(ChooserTest)
#include "ChooserTest.moc"
