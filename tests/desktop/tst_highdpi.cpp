// The main window on a high-density X screen: Xvfb and icewm with Xft.dpi at
// 192, which Qt turns into a device pixel ratio of 2, and the program's own
// start-up.

#include "captionradiobutton.h"
#include "form1.h"
#include "formlayout.h"
#include "programicon.h"
#include "startup.h"
#include "xdesktop.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

// The X resources that desktops set for the screen's density, as xrdb does.
bool setXResources(const char *resources)
{
    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return false;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const xcb_void_cookie_t set =
        xcb_change_property_checked(connection, XCB_PROP_MODE_REPLACE, root, XCB_ATOM_RESOURCE_MANAGER,
                                    XCB_ATOM_STRING, 8, std::strlen(resources), resources);
    xcb_generic_error_t *error = xcb_request_check(connection, set);
    const bool ok = error == nullptr;
    std::free(error);
    xcb_disconnect(connection);
    return ok;
}

// Reads a window's size and its _NET_WM_ICON images as the X server holds them.
struct XWindowFacts
{
    QSize size;
    QList<QSize> iconSizes;
};

XWindowFacts xWindowFacts(quintptr window)
{
    XWindowFacts facts;
    xcb_connection_t *c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return facts;
    }
    if (xcb_get_geometry_reply_t *g = xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr)) {
        facts.size = QSize(g->width, g->height);
        std::free(g);
    }
    const char *name = "_NET_WM_ICON";
    xcb_intern_atom_reply_t *atom =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, std::strlen(name), name), nullptr);
    if (atom) {
        xcb_get_property_reply_t *p = xcb_get_property_reply(
            c, xcb_get_property(c, 0, window, atom->atom, XCB_ATOM_CARDINAL, 0, 1 << 22), nullptr);
        if (p && p->format == 32) {
            const auto *data = static_cast<const quint32 *>(xcb_get_property_value(p));
            const int count = xcb_get_property_value_length(p) / 4;
            for (int i = 0; i + 2 <= count;) {
                const QSize size(int(data[i]), int(data[i + 1]));
                facts.iconSizes.append(size);
                i += 2 + size.width() * size.height();
            }
        }
        std::free(p);
        std::free(atom);
    }
    xcb_disconnect(c);
    return facts;
}

} // namespace

class TestHighDpi final : public QObject
{
    Q_OBJECT

public:
    TestHighDpi(XDesktop &desktop, QApplication &app) : m_desktop(desktop), m_app(app) {}

private slots:
    void init();
    void cleanup();
    void screenIsDoubled();
    void windowKeepsItsLogicalLayout_data();
    void windowKeepsItsLogicalLayout();
    void captionsFitAtDoubleDensity();
    void iconsAreSharpAtEverySize();

private:
    XDesktop &m_desktop;
    QApplication &m_app;
    std::unique_ptr<Form1> m_form;
};

void TestHighDpi::init()
{
    m_form = startMainWindow(m_app);
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    QTRY_COMPARE(m_desktop.wmState(m_form->winId()), 1);
}

void TestHighDpi::cleanup()
{
    m_form.reset();
}

void TestHighDpi::screenIsDoubled()
{
    QCOMPARE(m_form->devicePixelRatio(), 2.0);
    QCOMPARE(m_form->size(), QSize(646, 510));
    // The client area the X server holds, in device pixels.
    QTRY_COMPARE(xWindowFacts(m_form->winId()).size, QSize(1292, 1020));
}

void TestHighDpi::windowKeepsItsLogicalLayout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::newRow("Text1(0)") << u"Text1(0)"_s << twips(1680, 240, 3135, 375);
    QTest::newRow("Frame1") << u"Frame1"_s << twips(4920, 2160, 4455, 855);
    QTest::newRow("Text3") << u"Text3"_s << twips(2520, 360, 495, 375);
    QTest::newRow("Text2") << u"Text2"_s << twips(4920, 3480, 4455, 975);
    QTest::newRow("Option3(5)") << u"Option3(5)"_s << twips(6240, 360, 1215, 375);
    QTest::newRow("Label4") << u"Label4"_s << twips(480, 6360, 3495, 255);
    QTest::newRow("command4") << u"command4"_s << twips(8640, 6960, 735, 495);
}

void TestHighDpi::windowKeepsItsLogicalLayout()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QWidget *w = m_form->findChild<QWidget *>(name);
    QVERIFY(w);
    QCOMPARE(w->geometry(), geometry);
    // The density goes into the device pixels, not into the fonts' logical size.
    QCOMPARE(QFontInfo(w->font()).pixelSize(), qRound(w->font().pointSizeF() * 96 / 72));
}

void TestHighDpi::captionsFitAtDoubleDensity()
{
    for (int i = 0; i < 7; ++i) {
        auto *button = m_form->findChild<CaptionRadioButton *>(u"Option3(%1)"_s.arg(i));
        QVERIFY(button);
        const QImage image = button->grab().toImage();
        QCOMPARE(image.devicePixelRatio(), 2.0);
        const int left = 2 * (button->width() - button->captionRoom());
        const auto inked = [&image](int x, int y) {
            return qGray(image.pixel(x, y)) < 160;
        };
        for (int y = 0; y < image.height(); ++y)
            QVERIFY2(!inked(image.width() - 1, y), qPrintable(button->objectName()));
        for (int x = left; x < image.width(); ++x) {
            QVERIFY2(!inked(x, 0), qPrintable(button->objectName()));
            QVERIFY2(!inked(x, image.height() - 1), qPrintable(button->objectName()));
        }
    }
}

void TestHighDpi::iconsAreSharpAtEverySize()
{
    // Whatever size a desktop asks the program's icon for, at either density,
    // an image at least that large is there to be shrunk, up to 256 px.
    const QList<QSize> available = programIcon().availableSizes();
    for (const int asked : {16, 22, 24, 32, 48, 64, 96, 128, 256}) {
        for (const int ratio : {1, 2}) {
            const int needed = std::min(asked * ratio, 256);
            QVERIFY2(std::any_of(available.cbegin(), available.cend(),
                                 [needed](const QSize &s) { return s.width() >= needed; }),
                     qPrintable(u"%1 px"_s.arg(needed)));
        }
    }
    // The window manager gets 16 to 128 px at the screen's density, 16 px as
    // 32, once the window is painted.
    const QList<QSize> sent{{32, 32}, {48, 48}, {64, 64}, {96, 96}, {128, 128}, {256, 256}};
    QTRY_COMPARE(xWindowFacts(m_form->winId()).iconSizes, sent);
}

// Under LeakSanitizer: Qt asks the session bus for a tray before it falls back
// to XEmbed, and libdbus leaks the buffer of its failed attempt to start one.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libdbus-1.so\n";
}

int main(int argc, char *argv[])
{
    XDesktop desktop;
    desktop.setScreenSize(2560, 1600);
    if (const int status = desktop.startOrReport(XDesktop::Tray::Without))
        return status;
    if (!setXResources("Xft.dpi:\t192\n")) {
        std::fprintf(stderr, "FAIL: cannot set Xft.dpi\n");
        return 1;
    }
    // Start-up restores the last settings from the working directory: give it an empty one.
    QTemporaryDir work;
    if (!work.isValid() || !QDir::setCurrent(work.path()))
        return 1;

    qputenv("QT_QPA_PLATFORM", "xcb");
    for (const char *variable : {"QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS", "QT_ENABLE_HIGHDPI_SCALING",
                                 "QT_FONT_DPI", "QT_USE_PHYSICAL_DPI"})
        qunsetenv(variable);
    QApplication app(argc, argv);
    TestHighDpi test(desktop, app);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_highdpi.moc"
