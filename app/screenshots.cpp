// Renders Orfeo's windows to PNG files, for people without a display and for the README:
//   orfeo-screenshots DIR [FOLDER]
// writes DIR/main-window.png (after scanning FOLDER as the first folder, when given), DIR/chooser.png,
// DIR/progress.png and DIR/new-folder.png. Meant for QT_QPA_PLATFORM=offscreen.

#include <QDir>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <thread>
#include <string>

#include "app/CScanApp.h"
#include "app/CScanDlg.h"
#include "app/JobRun.h"
#include "chooser/BrowseForFolder.h"
#include "chooser/CNewFolderDlg.h"
#include "chooser/ShellFolderDialog.h"
#include "chooser/ToolWindow.h"

QProgressDialog* VisibleProgress() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* progress = qobject_cast<QProgressDialog*>(widget); progress && progress->isVisible()) return progress;
    }
    return nullptr;
}

namespace {

bool Save(QWidget* widget, const QString& path) {
    const bool saved = widget->grab().save(path);
    std::fprintf(saved ? stdout : stderr, "%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
    return saved;
}

}  // namespace

int main(int argc, char** argv) {
    orfeo::CScanApp app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: orfeo-screenshots DIR [FOLDER]\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    const std::string folder = argc > 2 ? argv[2] : "";
    bool ok = true;

    orfeo::CScanDlg window([&folder](std::string& path, const QString&) {
        path = folder;
        return !folder.empty();
    });
    orfeo::SetMainWindow(&window);
    window.show();
    window.OnOpenFolder();
    ok &= Save(&window, out.filePath(QStringLiteral("main-window.png")));

    // The chooser as the "Open folder" command shows it, the extra button included.
    QTimer::singleShot(100, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* chooser = qobject_cast<orfeo::ShellFolderDialog*>(widget); chooser && chooser->isVisible()) {
                ok &= Save(chooser, out.filePath(QStringLiteral("chooser.png")));
                chooser->close();
            }
        }
    });
    std::string chosen;
    orfeo::BrowseForFolder(chosen, QStringLiteral("Choose folder"));

    // The progress dialog of a running job, stopped once it is on film.
    QTimer::singleShot(800, [&] {
        if (auto* progress = VisibleProgress()) {
            ok &= Save(progress, out.filePath(QStringLiteral("progress.png")));
            progress->findChild<QPushButton*>()->click();
        }
    });
    orfeo::JobRun(&window, 120).Run([](orfeo::IMessageSink&, const orfeo::JobOptions& options) {
        options.progress(37, 120, "page037.tif");
        while (!options.stop->load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return orfeo::BatchResult{};
    });

    orfeo::CNewFolderDlg dialog;
    dialog.m_strLabel = QStringLiteral("Folder");
    dialog.m_strTitle = QStringLiteral("New folder");
    dialog.m_strCancel = QStringLiteral("Cancel");
    dialog.show();
    ok &= Save(&dialog, out.filePath(QStringLiteral("new-folder.png")));
    dialog.close();
    orfeo::SetMainWindow(nullptr);
    return ok ? 0 : 1;
}
