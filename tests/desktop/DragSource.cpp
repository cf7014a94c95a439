// A window that a drag starts from, as a file manager's: the desktop journey presses the mouse on it and
// moves it onto Orfeo's window, so that the drop goes through the window system's own drag and drop.
//
//   orfeo-drag-source PATH...    drags the files or folders PATH... (as file URLs), once; it ends two
//                                seconds after the drop
#include <QApplication>
#include <QDrag>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QTimer>
#include <QUrl>
#include <cstdio>

namespace {

class DragSource : public QLabel {
public:
    explicit DragSource(QList<QUrl> urls) : m_urls(std::move(urls)) {
        setWindowTitle(QStringLiteral("Drag source"));
        setText(QStringLiteral("Drag from here"));
        setAlignment(Qt::AlignCenter);
        resize(200, 120);
    }

protected:
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() != Qt::LeftButton) return;
        auto* data = new QMimeData;
        data->setUrls(m_urls);
        auto* drag = new QDrag(this);
        drag->setMimeData(data);
        const Qt::DropAction done = drag->exec(Qt::CopyAction | Qt::LinkAction, Qt::CopyAction);
        std::printf("%s\n", done == Qt::IgnoreAction ? "ignored" : "dropped");
        std::fflush(stdout);
        // The drop's target asks for the items after the drag has ended here: the window goes, the program
        // stays a while to answer, as a file manager does.
        hide();
        QTimer::singleShot(2000, qApp, &QCoreApplication::quit);
    }

private:
    QList<QUrl> m_urls;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QList<QUrl> urls;
    for (const QString& path : app.arguments().mid(1)) urls.append(QUrl::fromLocalFile(path));
    DragSource source(urls);
    source.move(0, 0);
    source.show();
    return app.exec();
}
