#pragma once

#include <QDialog>
#include <QImage>
#include <QPointF>
#include <QString>
#include <QWidget>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "run/PagePicture.h"

class QLabel;

namespace orfeo {

// The files of one entry of a job, as the viewer shows them.
struct ViewEntry {
    QString name;    // the entry's name: the first folder's page name
    QString page;    // the first folder's page
    QString mask;    // its mask
    QString page2;   // a merge's second-folder page; empty for a back job
    QString output;  // the job's output for the entry, shown when it exists
    // Why there is no output, when that is known (a run did not write it, a check foresees that it would
    // not): shown in the output's place instead of the file.
    QString outputNote;
};

// Where the panes of the viewer look, shared by all of them so that zoom and pan stay in step: the zoom
// over "fit in the pane" (1), and the point of the page at the pane's centre, in fractions of its width
// and height.
class ViewState : public QObject {
    Q_OBJECT

public:
    double Zoom() const { return m_zoom; }
    QPointF Centre() const { return m_centre; }
    // Zooms by `factor` (within 1 ... 64) keeping the page's point `at` where it is on the screen; `at` is
    // a point of the page in fractions, `offset` its place in the pane relative to the centre, in fractions
    // of the shown page.
    void ZoomBy(double factor, QPointF at, QPointF offset);
    void PanBy(QPointF delta);  // in fractions of the page
    void Fit();

signals:
    void Changed();

private:
    void Clamp();
    double m_zoom = 1;
    QPointF m_centre{0.5, 0.5};
};

// One picture of the viewer, drawn to fit and then zoomed and panned as the shared state says; a mask's
// picture can be laid over it in a translucent colour.
class PicturePane : public QWidget {
    Q_OBJECT

public:
    PicturePane(const QString& title, ViewState* state, QWidget* parent);
    void SetPicture(const PagePicture& picture);
    void SetOverlay(const PagePicture& mask);
    void SetNote(const QString& note);  // in place of a picture: "Loading...", why there is none
    void Clear();
    bool HasPicture() const { return !m_image.isNull(); }
    QString Note() const { return m_note; }
    // A word under the picture: what the picture alone does not say (a mask of another size than its page).
    QString Remark() const { return m_remark; }
    // Screen pixels per pixel of the pictured file at the present zoom; 0 without a picture.
    double Scale() const;

signals:
    void Drawn();  // a picture came, or the pane's size changed

protected:
    void paintEvent(QPaintEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QRectF PageRect() const;
    void SetRemark();  // where the whole page lies in the pane at the state's zoom and pan

    QString m_title;
    ViewState* m_state;
    QImage m_image, m_overlay;
    QSizeF m_pageSize, m_overlaySize;  // the pictured files' own sizes, in pixels
    QString m_note;
    QString m_remark;
    QPointF m_lastDrag;
};

// Shows one entry at a time side by side: the page with its mask laid over it in translucent red (and a
// word when the mask's size is not the page's), for a merge the second-folder page, and the output when it
// exists, or why there is none (not written, and why; not yet made); zoomed to fit, with zoom (wheel, + and
// -, 0 to fit) and pan (drag, arrow keys) in step across the panes, the zoom level shown below them. Page
// Down and Page Up go to the next and previous entry, Home and End to the first and last, Escape closes. The
// pictures are read by page workers on a thread of the viewer's own (ReadPagePicture), so the window never
// waits for them and holds at most one entry's pictures of at most 2048 pixels a side, whatever the pages'
// size. Window-modal over `owner`.
class PageViewer : public QDialog {
    Q_OBJECT

public:
    PageViewer(QWidget* owner, std::vector<ViewEntry> entries, int current);
    ~PageViewer() override;

    int Current() const { return m_current; }
    // "Zoom: 37 % (fit)": the page's pixels to the screen's, as the first pane shows it.
    QString ZoomText() const;
    // Every pane of the current entry has its picture or its note.
    bool Settled() const;
    const std::vector<PicturePane*>& Panes() const { return m_panes; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Show(int index);
    void LoaderLoop();
    void Deliver(int index, int pane, std::shared_ptr<PagePicture> picture, const QString& problem);
    void ShowZoom();

    std::vector<ViewEntry> m_entries;
    int m_current = 0;
    ViewState m_state;
    std::vector<PicturePane*> m_panes;  // page (with mask), page 2 (merge), output
    std::vector<bool> m_settled;        // per pane of the current entry
    QLabel* m_status = nullptr;
    QLabel* m_zoom = nullptr;

    std::unique_ptr<PageWorkers> m_workers;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::atomic<int> m_wanted{0};  // the entry the window wants pictures of (set under m_lock)
    bool m_quit = false;           // under m_lock
    std::thread m_loader;
};

}  // namespace orfeo
