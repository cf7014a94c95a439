#include "app/CScanDlg.h"

#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

#include "app/JobRun.h"
#include "chooser/BrowseForFolder.h"
#include "chooser/DialogUnits.h"
#include "chooser/ToolWindow.h"
#include "imaging/BackSubscans.h"
#include "imaging/MergeSubscans.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"

// The icon lives in this library's resources, which a static library does not register by itself.
static void InitResources() { Q_INIT_RESOURCE(orfeo); }

namespace orfeo {

namespace {

std::string FieldText(const QLineEdit* field) { return QFile::encodeName(field->text()).toStdString(); }

// A path field as the folder scan sees it.
class LineEditField final : public ITextField {
public:
    explicit LineEditField(QLineEdit* edit) : m_edit(edit) {}
    void SetText(const std::string& text) override {
        m_edit->setText(QFile::decodeName(QByteArray::fromStdString(text)));
    }

private:
    QLineEdit* m_edit;
};

}  // namespace

CScanDlg::CScanDlg(FolderBrowser browse) : QDialog(nullptr), m_browse(std::move(browse)) {
    InitResources();
    m_hIcon = QIcon(QStringLiteral(":/orfeo.png"));
    if (!m_browse) m_browse = BrowseForFolder;
    setObjectName(QStringLiteral("CScanDlg"));
    // A top-level window of its own (so it shows in the task bar), fixed in size, without minimise or
    // maximise box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("Orfeo"));
    setWindowIcon(m_hIcon);

    // Template 102, in dialog units, in tab order.
    QPushButton* open = AddButton(1006, QStringLiteral("Open folder"), 7, 14, 62, 16);
    m_editOutput = AddField(1029, 38, 55);
    m_editInput = AddField(1033, 38, 39);
    const DialogUnits units(font());
    // Each label ends where the template ends it, just before its field; a font wider than the template's
    // grows it to the left rather than cutting it off.
    auto label = [&](const QString& text, int x, int y, int width) {
        auto* widget = new QLabel(text, this);
        QRect area = units.ToPixels(x, y, width, 8);
        const QSize needed = widget->sizeHint();
        if (needed.width() > area.width()) area.setLeft(area.right() + 1 - needed.width());
        if (needed.height() > area.height()) area.setHeight(needed.height());
        widget->setGeometry(area);
        widget->setAlignment(Qt::AlignRight | Qt::AlignTop);
    };
    label(QStringLiteral("Input:"), 16, 41, 19);
    label(QStringLiteral("Ouput:"), 13, 57, 22);
    QPushButton* back = AddButton(1007, QStringLiteral("Create back subscans"), 37, 73, 87, 16);
    m_editOutput2 = AddField(1030, 38, 156);
    m_editInput2 = AddField(1034, 38, 140);
    label(QStringLiteral("Input 2:"), 11, 142, 24);
    label(QStringLiteral("Ouput 2:"), 8, 158, 27);
    QPushButton* merge = AddButton(1008, QStringLiteral("Merge subscans"), 37, 174, 87, 16);
    QPushButton* open2 = AddButton(1009, QStringLiteral("Open folder 2"), 7, 116, 62, 16);
    setTabOrder(open, back);
    setTabOrder(back, merge);
    setTabOrder(merge, open2);

    connect(open, &QPushButton::clicked, this, &CScanDlg::OnOpenFolder);
    connect(open2, &QPushButton::clicked, this, &CScanDlg::OnOpenFolder2);
    connect(back, &QPushButton::clicked, this, &CScanDlg::OnCreateBackSubscans);
    connect(merge, &QPushButton::clicked, this, &CScanDlg::OnMergeSubscans);

    setFixedSize(units.ToPixels(320, 200));
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(0, 0), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    open->setFocus();
}

QPushButton* CScanDlg::AddButton(int id, const QString& text, int x, int y, int width, int height) {
    auto* button = new QPushButton(text, this);
    button->setObjectName(QString::number(id));
    button->setGeometry(DialogUnits(font()).ToPixels(x, y, width, height));
    // No default button: Enter clicks whichever button has the focus.
    button->setAutoDefault(true);
    button->setDefault(false);
    return button;
}

QLineEdit* CScanDlg::AddField(int id, int x, int y) {
    auto* field = new QLineEdit(this);
    field->setObjectName(QString::number(id));
    field->setGeometry(DialogUnits(font()).ToPixels(x, y, 275, 12));
    field->setReadOnly(true);
    field->setEnabled(false);
    return field;
}

void CScanDlg::OpenFolder(CScanList& list, QLineEdit* input, QLineEdit* output, const std::string& subfolder) {
    std::string folder;
    if (!m_browse(folder, QStringLiteral("Choose folder"))) return;
    LineEditField inputField(input), outputField(output);
    ScanFolder(folder, list, inputField, outputField, subfolder);
}

void CScanDlg::OnOpenFolder() { OpenFolder(m_list1, m_editInput, m_editOutput, kPicsSubfolder); }

void CScanDlg::OnOpenFolder2() { OpenFolder(m_list2, m_editInput2, m_editOutput2, kNewScansSubfolder); }

void CScanDlg::OnCreateBackSubscans() {
    const std::string input = FieldText(m_editInput), output = FieldText(m_editOutput);
    JobRun(this, m_list1.GetSize()).Run([&](IMessageSink& messages, const JobOptions& options) {
        return CreateBackSubscans(m_list1, input, output, messages, options);
    });
}

void CScanDlg::OnMergeSubscans() {
    const std::string input = FieldText(m_editInput), output = FieldText(m_editOutput),
                      output2 = FieldText(m_editOutput2);
    JobRun(this, m_list1.GetSize()).Run([&](IMessageSink& messages, const JobOptions& options) {
        return MergeSubscans(m_list1, m_list2, input, output, output2, messages, options);
    });
}

}  // namespace orfeo
