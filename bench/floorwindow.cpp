// The floor of the start-up figures: a bare program that shows a window with
// the main window's controls (the same types, count, captions, fonts and
// places) and nothing else: no settings, no tray, no icon, no tab order.

#include "firstpaint.h"
#include "formlayout.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

namespace {

enum class Kind
{
    Label,
    LineEdit,
    GroupBox,
    Radio,
    Button,
    TextEdit
};

struct Control
{
    Kind kind;
    int parent; // index of the group box it sits in, or -1 for the window
    const char *caption;
    int left, top, width, height;
    qreal points = 9;
    bool bold = false;
};

// Eleven labels, nine line edits, one text box, three frames, nine radio
// buttons and five buttons: thirty-eight controls, as in the main window.
const Control kControls[] = {
    {Kind::Label, -1, "ServerName", 240, 360, 1095, 255},
    {Kind::LineEdit, -1, "Quillmere", 1680, 240, 3135, 375},
    {Kind::Label, -1, "Location", 6000, 360, 975, 255},
    {Kind::LineEdit, -1, "", 7200, 240, 2175, 375},
    {Kind::Label, -1, "Web Page", 240, 960, 975, 255},
    {Kind::LineEdit, -1, "http://", 1680, 840, 3135, 375},
    {Kind::Label, -1, "MaxUsers", 6000, 960, 1215, 255},
    {Kind::LineEdit, -1, "50", 7200, 840, 2175, 375},
    {Kind::Label, -1, "ServPort", 240, 1560, 975, 255},
    {Kind::LineEdit, -1, "27888", 1680, 1440, 1095, 375},
    {Kind::Label, -1, "IP Address", 6000, 1560, 1095, 255},
    {Kind::LineEdit, -1, "127.0.0.1", 7200, 1440, 2175, 375},
    {Kind::Label, -1, "MinPing(ms)", 240, 2400, 1215, 255},
    {Kind::LineEdit, -1, "0", 1680, 2280, 975, 375},
    {Kind::GroupBox, -1, "Network Type", 4920, 2160, 4455, 855}, // 14
    {Kind::Radio, 14, "Lan", 480, 240, 1095, 375},
    {Kind::Radio, 14, "Internet", 1920, 240, 1335, 375},
    {Kind::GroupBox, -1, "Messages flood protection", 240, 3360, 3495, 1095}, // 17
    {Kind::LineEdit, 17, "3", 120, 360, 495, 375, 10.5},
    {Kind::Label, 17, "messages at most in ", 720, 480, 2055, 255},
    {Kind::LineEdit, 17, "5", 2520, 360, 495, 375, 10.5},
    {Kind::Label, 17, "ms", 3120, 480, 255, 255},
    {Kind::Label, -1, "Message of the Day", 4920, 3120, 2295, 255},
    {Kind::TextEdit, -1, "Welcome!\n", 4920, 3480, 4455, 975},
    {Kind::GroupBox, -1, " Maximum connection setting restriction", 240, 4800, 9135, 975}, // 24
    {Kind::Radio, 24, "Disabled", 240, 360, 1095, 375},
    {Kind::Radio, 24, "Bad 10fps", 1440, 360, 1095, 375},
    {Kind::Radio, 24, "Low 12fps", 2640, 360, 975, 375},
    {Kind::Radio, 24, "Average15fps", 3840, 360, 975, 375},
    {Kind::Radio, 24, "Good 20fps", 5040, 360, 975, 375},
    {Kind::Radio, 24, "Excellant 30fps", 6240, 360, 1215, 375},
    {Kind::Radio, 24, "LAN\n60fps", 7440, 360, 1335, 375},
    {Kind::Label, -1, "", 480, 6360, 3495, 255, 10.5, true},
    {Kind::Button, -1, "Start", 4320, 6240, 1575, 495},
    {Kind::Button, -1, "Stop", 6120, 6240, 1455, 495},
    {Kind::Button, -1, "Server State", 7920, 6240, 1455, 495},
    {Kind::Button, -1, "About", 7680, 6960, 855, 495},
    {Kind::Button, -1, "Exit", 8640, 6960, 735, 495},
};

QWidget *create(const Control &c, QWidget *parent)
{
    const QString caption = QString::fromLatin1(c.caption);
    switch (c.kind) {
    case Kind::Label:
        return new QLabel(caption, parent);
    case Kind::LineEdit:
        return new QLineEdit(caption, parent);
    case Kind::GroupBox:
        return new QGroupBox(caption, parent);
    case Kind::Radio:
        return new QRadioButton(caption, parent);
    case Kind::Button:
        return new QPushButton(caption, parent);
    case Kind::TextEdit:
        return new QPlainTextEdit(caption, parent);
    }
    return nullptr;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    bench::FirstPaint firstPaint([&firstPaint] { bench::reportPaintedAndQuit(firstPaint.paintedNs()); });

    QWidget window;
    window.setWindowTitle(QStringLiteral("OrbelithServer GUI"));
    QFont windowFont(QStringLiteral("SimSun"));
    windowFont.setPointSizeF(10.5);
    window.setFont(windowFont);
    window.resize(646, 510);

    constexpr int count = int(sizeof kControls / sizeof kControls[0]);
    QWidget *made[count] = {};
    for (int i = 0; i < count; ++i) {
        const Control &c = kControls[i];
        QWidget *w = create(c, c.parent < 0 ? &window : made[c.parent]);
        w->setGeometry(twips(c.left, c.top, c.width, c.height));
        w->setFont(arial(c.points, c.bold));
        made[i] = w;
    }
    window.show();
    return app.exec();
}
