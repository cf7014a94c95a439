#include "app/PageViewer.h"

#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "chooser/ToolWindow.h"
#include "run/JobOptions.h"

namespace orfeo {

namespace {

// The files of an entry in the order they are read, and the pane each goes to.
enum Slot { kPage, kMask, kPage2, kOutput, kSlots };
constexpr double kLargestZoom = 64;
const QColor kMaskColour(230, 30, 30, 110);

QImage ToImage(const PagePicture& picture) {
    const PreviewPixels& pixels = picture.pixels;
    QImage image(static_cast<int>(pixels.width), static_cast<int>(pixels.height), QImage::Format_RGB888);
    for (unsigned y = 0; y < pixels.height; ++y) {
        std::copy_n(pixels.rgb.data() + std::size_t{y} * pixels.width * 3, std::size_t{pixels.width} * 3,
                    image.scanLine(static_cast<int>(y)));
    }
    return image;
}

// The marked pixels of a mask's picture (white) in the mask colour, the rest clear.
QImage ToOverlay(const PagePicture& mask) {
    const PreviewPixels& pixels = mask.pixels;
    QImage overlay(static_cast<int>(pixels.width), static_cast<int>(pixels.height), QImage::Format_ARGB32);
    const QRgb marked = kMaskColour.rgba();
    for (unsigned y = 0; y < pixels.height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(overlay.scanLine(static_cast<int>(y)));
        const std::uint8_t* in = pixels.rgb.data() + std::size_t{y} * pixels.width * 3;
        for (unsigned x = 0; x < pixels.width; ++x) {
            // A scaled-down mask is grey where it was partly marked: as much of the colour.
            const unsigned share = in[3 * x];
            line[x] = share == 0
                          ? qRgba(0, 0, 0, 0)
                          : qRgba(qRed(marked), qGreen(marked), qBlue(marked), qAlpha(marked) * share / 255);
        }
    }
    return overlay.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

std::string Local(const QString& path) { return QFile::encodeName(path).toStdString(); }

}  // namespace

void ViewState::ZoomBy(double factor, QPointF at, QPointF offset) {
    const double zoom = std::clamp(m_zoom * factor, 1.0, kLargestZoom);
    const double real = zoom / m_zoom;
    m_zoom = zoom;
    m_centre = at - offset / real;
    Clamp();
    emit Changed();
}

void ViewState::PanBy(QPointF delta) {
    m_centre += delta;
    Clamp();
    emit Changed();
}

void ViewState::Fit() {
    m_zoom = 1;
    m_centre = QPointF(0.5, 0.5);
    emit Changed();
}

void ViewState::Clamp() {
    m_centre.setX(std::clamp(m_centre.x(), 0.0, 1.0));
    m_centre.setY(std::clamp(m_centre.y(), 0.0, 1.0));
}

PicturePane::PicturePane(const QString& title, ViewState* state, QWidget* parent)
    : QWidget(parent), m_title(title), m_state(state) {
    setAccessibleName(title);
    setMinimumSize(160, 160);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    connect(state, &ViewState::Changed, this, qOverload<>(&QWidget::update));
}

void PicturePane::SetPicture(const PagePicture& picture) {
    m_image = ToImage(picture);
    m_pageSize = QSizeF(picture.pageWidth, picture.pageHeight);
    m_note.clear();
    SetRemark();
    update();
    emit Drawn();
}

void PicturePane::SetOverlay(const PagePicture& mask) {
    m_overlay = ToOverlay(mask);
    m_overlaySize = QSizeF(mask.pageWidth, mask.pageHeight);
    SetRemark();
    update();
}

void PicturePane::SetRemark() {
    m_remark.clear();
    if (m_image.isNull() || m_overlay.isNull() || m_overlaySize == m_pageSize) return;
    // The colour alone would show a mask of another size as marks that stop short, or as nothing.
    const QString sizes = QStringLiteral("The mask is %1 x %2 pixels, its page %3 x %4")
                              .arg(m_overlaySize.width())
                              .arg(m_overlaySize.height())
                              .arg(m_pageSize.width())
                              .arg(m_pageSize.height());
    if (m_overlaySize.width() < m_pageSize.width() || m_overlaySize.height() < m_pageSize.height()) {
        m_remark = sizes + QStringLiteral(
                               ": it covers only the top left of the page, and the run does not "
                               "write a page whose mask is smaller.");
    } else {
        m_remark = sizes + QStringLiteral(": only the mask's top left part, as large as the page, applies.");
    }
    setAccessibleDescription(m_remark);
}

double PicturePane::Scale() const {
    const QRectF page = PageRect();
    if (page.isEmpty()) return 0;
    return page.width() * devicePixelRatioF() / m_pageSize.width();
}

void PicturePane::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    emit Drawn();
}

void PicturePane::SetNote(const QString& note) {
    m_note = note;
    setAccessibleDescription(note);
    update();
}

void PicturePane::Clear() {
    m_image = QImage();
    m_overlay = QImage();
    m_note.clear();
    m_remark.clear();
    update();
}

QRectF PicturePane::PageRect() const {
    if (m_image.isNull() || m_pageSize.isEmpty()) return {};
    const double fit = std::min(width() / m_pageSize.width(), height() / m_pageSize.height());
    const QSizeF shown = m_pageSize * fit * m_state->Zoom();
    const QPointF centre = m_state->Centre();
    return QRectF(
        QPointF(width() / 2.0 - centre.x() * shown.width(), height() / 2.0 - centre.y() * shown.height()),
        shown);
}

void PicturePane::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Dark));
    const QRectF page = PageRect();
    if (!page.isEmpty()) {
        painter.setRenderHint(QPainter::SmoothPixmapTransform, m_state->Zoom() < 4);
        painter.drawImage(page, m_image);
        if (!m_overlay.isNull() && !m_overlaySize.isEmpty()) {
            // The mask's pixel (x, y) marks the page's pixel (x, y), whatever their sizes.
            const QSizeF size(page.width() * m_overlaySize.width() / m_pageSize.width(),
                              page.height() * m_overlaySize.height() / m_pageSize.height());
            painter.drawImage(QRectF(page.topLeft(), size), m_overlay);
        }
        // The page's edge, in a tint of the palette's text: a dark page stays apart from a dark theme's
        // ground, a light one from a light theme's.
        QColor edge = palette().color(QPalette::WindowText);
        edge.setAlpha(110);
        painter.setPen(QPen(edge, 0));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(page.adjusted(-0.5, -0.5, 0.5, 0.5));
    }
    // The title and any note on a dark band of their own, readable over any page.
    const auto label = [&painter, this](const QRect& area, int flags, const QString& text) {
        const QRect box = painter.boundingRect(area, flags, text).adjusted(-4, -2, 4, 2);
        painter.fillRect(box, QColor(0, 0, 0, 170));
        painter.setPen(Qt::white);
        painter.drawText(area, flags, text);
    };
    const QRect band = rect().adjusted(8, 6, -8, -6);
    label(band, Qt::AlignTop | Qt::AlignLeft, m_title);
    if (!m_note.isEmpty()) label(band, Qt::AlignCenter | Qt::TextWordWrap, m_note);
    if (!m_remark.isEmpty()) label(band, Qt::AlignBottom | Qt::AlignHCenter | Qt::TextWordWrap, m_remark);
}

void PicturePane::wheelEvent(QWheelEvent* event) {
    const QRectF page = PageRect();
    if (page.isEmpty()) return;
    const QPointF at = event->position();
    const QPointF fraction((at.x() - page.left()) / page.width(), (at.y() - page.top()) / page.height());
    const QPointF offset((at.x() - width() / 2.0) / page.width(), (at.y() - height() / 2.0) / page.height());
    m_state->ZoomBy(std::pow(1.0015, event->angleDelta().y()), fraction, offset);
    event->accept();
}

void PicturePane::mousePressEvent(QMouseEvent* event) { m_lastDrag = event->position(); }

void PicturePane::mouseMoveEvent(QMouseEvent* event) {
    const QRectF page = PageRect();
    if (page.isEmpty() || !(event->buttons() & Qt::LeftButton)) return;
    const QPointF moved = event->position() - m_lastDrag;
    m_lastDrag = event->position();
    m_state->PanBy(QPointF(-moved.x() / page.width(), -moved.y() / page.height()));
}

PageViewer::PageViewer(QWidget* owner, std::vector<ViewEntry> entries, int current)
    : QDialog(owner), m_entries(std::move(entries)) {
    setObjectName(QStringLiteral("PageViewer"));
    setWindowModality(Qt::WindowModal);
    setWindowFlags(windowFlags() | Qt::WindowMaximizeButtonHint);
    const bool merge = !m_entries.empty() && !m_entries.front().page2.isEmpty();
    auto* panes = new QGridLayout;
    QStringList titles{QStringLiteral("Page and mask")};
    if (merge) titles.append(QStringLiteral("Page 2"));
    titles.append(QStringLiteral("Output"));
    for (int i = 0; i < titles.size(); ++i) {
        m_panes.push_back(new PicturePane(titles[i], &m_state, this));
        panes->addWidget(m_panes.back(), 0, i);
    }
    m_status = new QLabel(this);
    m_status->setTextFormat(Qt::PlainText);
    // Wrapped to whatever width the window has, so that the line of keys never makes the window wider (or,
    // wrapped narrow, taller) than a small screen.
    m_status->setWordWrap(true);
    m_status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_status->setText(
        QStringLiteral("Page Down, Page Up: next, previous page; Home, End: first, last. Wheel or + and -: "
                       "zoom; 0: fit. Drag or arrows: move. Escape: close."));
    m_zoom = new QLabel(this);
    m_zoom->setObjectName(QStringLiteral("Zoom"));
    m_zoom->setTextFormat(Qt::PlainText);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(m_status, 1);
    bottom->addWidget(m_zoom);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(panes, 1);
    layout->addLayout(bottom);
    FitToScreen(this, QSize(merge ? 1200 : 900, 640), owner);
    setFocusPolicy(Qt::StrongFocus);
    connect(&m_state, &ViewState::Changed, this, &PageViewer::ShowZoom);
    connect(m_panes.front(), &PicturePane::Drawn, this, &PageViewer::ShowZoom);

    m_workers = std::make_unique<PageWorkers>(WorkerSettingsFor(JobOptions{}));
    m_loader = std::thread([this] { LoaderLoop(); });
    Show(std::clamp(current, 0, static_cast<int>(m_entries.size()) - 1));
}

PageViewer::~PageViewer() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_quit = true;
    }
    m_wake.notify_all();
    if (m_loader.joinable()) m_loader.join();
}

QString PageViewer::ZoomText() const { return m_zoom->text(); }

void PageViewer::ShowZoom() {
    const double scale = m_panes.front()->Scale();
    if (scale <= 0) {
        m_zoom->clear();
        return;
    }
    const QString percent = QStringLiteral("Zoom: %1 %")
                                .arg(scale < 0.1 ? QString::number(scale * 100, 'f', 1)
                                                 : QString::number(std::round(scale * 100)));
    m_zoom->setText(m_state.Zoom() == 1 ? percent + QStringLiteral(" (fit)") : percent);
}

bool PageViewer::Settled() const {
    return std::all_of(m_settled.begin(), m_settled.end(), [](bool settled) { return settled; });
}

void PageViewer::Show(int index) {
    if (m_entries.empty() || index < 0 || index >= static_cast<int>(m_entries.size())) return;
    m_current = index;
    const ViewEntry& entry = m_entries[static_cast<std::size_t>(index)];
    setWindowTitle(
        QStringLiteral("View: %1 (%2 of %3)").arg(entry.name).arg(index + 1).arg(m_entries.size()));
    m_settled.assign(kSlots, true);
    for (PicturePane* pane : m_panes) {
        pane->Clear();
        pane->SetNote(QStringLiteral("Loading..."));
    }
    m_settled[kPage] = m_settled[kMask] = m_settled[kOutput] = false;
    m_settled[kPage2] = entry.page2.trimmed().isEmpty();
    if (m_panes.size() == 3 && entry.page2.trimmed().isEmpty())
        m_panes[1]->SetNote(QStringLiteral("No page in folder 2."));
    ShowZoom();
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_wanted = index;
    }
    m_wake.notify_all();
}

void PageViewer::LoaderLoop() {
    int loaded = -1;
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_wake.wait(lock, [&] { return m_quit || m_wanted != loaded; });
        if (m_quit) return;
        const int index = m_wanted;
        const ViewEntry entry = m_entries[static_cast<std::size_t>(index)];
        lock.unlock();
        const QString files[kSlots] = {entry.page, entry.mask, entry.page2.trimmed(), entry.output};
        for (int slot = 0; slot < kSlots && m_wanted == index; ++slot) {
            if (files[slot].isEmpty()) continue;
            std::shared_ptr<PagePicture> picture;
            QString problem;
            if (slot == kOutput && !entry.outputNote.isEmpty()) {
                problem = entry.outputNote;
            } else if (slot == kOutput && !QFileInfo::exists(files[slot])) {
                problem = QStringLiteral("No output yet.");
            } else {
                std::string why;
                if (auto read = ReadPagePicture(*m_workers, Local(files[slot]), why, slot == kMask)) {
                    picture = std::make_shared<PagePicture>(std::move(*read));
                } else {
                    problem = QString::fromStdString(why);
                }
            }
            QMetaObject::invokeMethod(
                this, [this, index, slot, picture, problem] { Deliver(index, slot, picture, problem); },
                Qt::QueuedConnection);
        }
        loaded = index;
        lock.lock();
    }
}

void PageViewer::Deliver(int index, int slot, std::shared_ptr<PagePicture> picture, const QString& problem) {
    if (index != m_current) return;  // pictures of an entry the person has left
    const bool merge = m_panes.size() == 3;
    PicturePane* pane = slot == kPage || slot == kMask ? m_panes[0]
                        : slot == kPage2               ? m_panes[1]
                                                       : m_panes[merge ? 2 : 1];
    if (slot == kMask) {
        // A mask that cannot be read leaves the page without its colour, and says why over it.
        if (picture) {
            pane->SetOverlay(*picture);
        } else {
            pane->SetNote(problem);
        }
    } else if (picture) {
        pane->SetPicture(*picture);
    } else {
        pane->SetNote(problem);
    }
    m_settled[static_cast<std::size_t>(slot)] = true;
}

void PageViewer::keyPressEvent(QKeyEvent* event) {
    constexpr double kStep = 0.1;
    const double view = kStep / m_state.Zoom();
    switch (event->key()) {
        case Qt::Key_PageDown:
            Show(m_current + 1);
            return;
        case Qt::Key_PageUp:
            Show(m_current - 1);
            return;
        case Qt::Key_Home:
            Show(0);
            return;
        case Qt::Key_End:
            Show(static_cast<int>(m_entries.size()) - 1);
            return;
        case Qt::Key_Plus:
        case Qt::Key_Equal:
            m_state.ZoomBy(1.25, m_state.Centre(), QPointF());
            return;
        case Qt::Key_Minus:
            m_state.ZoomBy(0.8, m_state.Centre(), QPointF());
            return;
        case Qt::Key_0:
            m_state.Fit();
            return;
        case Qt::Key_Left:
            m_state.PanBy(QPointF(-view, 0));
            return;
        case Qt::Key_Right:
            m_state.PanBy(QPointF(view, 0));
            return;
        case Qt::Key_Up:
            m_state.PanBy(QPointF(0, -view));
            return;
        case Qt::Key_Down:
            m_state.PanBy(QPointF(0, view));
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

}  // namespace orfeo
