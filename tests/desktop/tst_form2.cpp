// The About window itself and how the main window opens and ends it. Nothing
// here needs a window manager; the desktop test covers what does.

#include "contact.h"
#include "form1.h"
#include "form2.h"

#include <QAccessible>
#include <QApplication>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTest>

#include <memory>

namespace {

QList<Form2 *> aboutWindows()
{
    QList<Form2 *> found;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *f = qobject_cast<Form2 *>(w))
            found.append(f);
    }
    return found;
}

void click(QAbstractButton *button)
{
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(8, button->height() / 2));
}

QPushButton *button(QWidget *window, const char *name)
{
    return window->findChild<QPushButton *>(QString::fromLatin1(name));
}

QPoint screenCentre()
{
    return QGuiApplication::primaryScreen()->availableGeometry().center();
}

} // namespace

class TestForm2 : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void window();
    void inventory_data();
    void inventory();
    void textsFitTheirLabels_data();
    void textsFitTheirLabels();
    void onlyOkTakesFocus();

    void resizeWithoutMinimizeDoesNothing();
    void mainWindowTakesAboutAlong();
    // Last: ending the program leaves the event loop ended.
    void endingTheProgramClosesAbout_data();
    void endingTheProgramClosesAbout();
};

void TestForm2::cleanup()
{
    qDeleteAll(aboutWindows());
}

void TestForm2::window()
{
    Form2 form;
    QCOMPARE(form.objectName(), QStringLiteral("Form2"));
    QCOMPARE(form.windowTitle(), QStringLiteral("\u5173\u4e8e"));
    QCOMPARE(form.size(), QSize(312, 226));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    const Qt::WindowFlags flags = form.windowFlags();
    QCOMPARE(flags & Qt::WindowType_Mask, Qt::Window);
    QVERIFY(flags.testFlag(Qt::CustomizeWindowHint));
    QVERIFY(flags.testFlag(Qt::WindowTitleHint));
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(form.testAttribute(Qt::WA_DeleteOnClose));
    QVERIFY(!form.layout());
    QCOMPARE(form.findChildren<QWidget *>().size(), 6);
    QCOMPARE(form.geometry().center(), screenCentre());
    QCOMPARE(QAccessible::queryAccessibleInterface(&form)->role(), QAccessible::Dialog);
}

void TestForm2::inventory_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("inside");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("twips");
    QTest::addColumn<qreal>("points");
    QTest::addColumn<bool>("bold");

    const auto row = [](const char *name, const char *kind, const char *inside, const char *caption, int left,
                        int top, int width, int height, qreal points, bool bold = false) {
        QTest::newRow(name) << QString::fromLatin1(kind) << QString::fromLatin1(inside)
                            << QString::fromUtf8(caption) << QRect(left, top, width, height) << points
                            << bold;
    };
    row("Frame1", "QGroupBox", "Form2", "Author", 720, 480, 3495, 735, 9);
    row("Label1", "QLabel", "Frame1", Contact::kAuthor, 240, 360, 1575, 255, 10.5, true);
    row("Frame2", "QGroupBox", "Form2", "Contact", 720, 1440, 3495, 1215, 9);
    row("Label2", "QLabel", "Frame2", Contact::kMail, 240, 360, 3135, 255, 10.5);
    row("Label3", "QLabel", "Frame2", Contact::kMessenger, 240, 720, 2295, 375, 10.5);
    row("Command1", "QPushButton", "Form2", "OK", 1680, 2760, 1215, 495, 9);
}

void TestForm2::inventory()
{
    QFETCH(QString, kind);
    QFETCH(QString, inside);
    QFETCH(QString, caption);
    QFETCH(QRect, twips);
    QFETCH(qreal, points);
    QFETCH(bool, bold);

    Form2 form;
    auto *w = form.findChild<QWidget *>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(w);
    QCOMPARE(QString::fromLatin1(w->metaObject()->className()), kind);
    QCOMPARE(w->parentWidget()->objectName(), inside);
    QCOMPARE(w->geometry(), QRect(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15));
    QCOMPARE(w->font().family(), QStringLiteral("Arial"));
    QCOMPARE(w->font().pointSizeF(), points);
    QCOMPARE(w->font().bold(), bold);
    if (auto *frame = qobject_cast<QGroupBox *>(w)) {
        QCOMPARE(frame->title(), caption);
    } else if (auto *label = qobject_cast<QLabel *>(w)) {
        QCOMPARE(label->text(), caption);
        QCOMPARE(label->foregroundRole(), QPalette::Highlight);
        QVERIFY(label->textInteractionFlags() & Qt::TextSelectableByMouse);
    } else {
        QCOMPARE(qobject_cast<QPushButton *>(w)->text(), caption);
    }
}

void TestForm2::textsFitTheirLabels_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("author") << QStringLiteral("Label1");
    QTest::newRow("mail") << QStringLiteral("Label2");
    QTest::newRow("messenger") << QStringLiteral("Label3");
}

void TestForm2::textsFitTheirLabels()
{
    QFETCH(QString, name);
    Form2 form;
    auto *label = form.findChild<QLabel *>(name);
    QVERIFY(label);
    const QString family = QFontInfo(label->font()).family();
    if (family != QLatin1String("Arial") && family != QLatin1String("Liberation Sans"))
        QSKIP(qPrintable(QStringLiteral("Arial resolves to %1 here, not to Arial's metrics").arg(family)));
    const QFontMetrics metrics(label->font());
    const int width = metrics.horizontalAdvance(label->text());
    QVERIFY2(
        width <= label->contentsRect().width(),
        qPrintable(QStringLiteral("%1 px of text in %2 px").arg(width).arg(label->contentsRect().width())));
    QVERIFY(metrics.height() <= label->contentsRect().height());
}

void TestForm2::onlyOkTakesFocus()
{
    Form2 form;
    form.setAttribute(Qt::WA_DeleteOnClose, false);
    QPushButton *ok = button(&form, "Command1");
    const QList<QWidget *> children = form.findChildren<QWidget *>();
    for (QWidget *w : children) {
        if (w != ok)
            QVERIFY2(w->focusPolicy() == Qt::NoFocus, qPrintable(w->objectName()));
    }
    QVERIFY(!ok->autoDefault());
    QVERIFY(!ok->isDefault());
    form.show();
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QCOMPARE(QApplication::focusWidget(), ok);
}

void TestForm2::resizeWithoutMinimizeDoesNothing()
{
    Form1 main;
    main.show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));
    click(button(&main, "Command3"));
    QPointer<Form2> about = aboutWindows().value(0);
    QVERIFY(about);
    main.resize(700, 560);
    main.setWindowState(Qt::WindowMaximized);
    main.setWindowState(Qt::WindowNoState);
    QCoreApplication::sendPostedEvents(&main, QEvent::MetaCall);
    QVERIFY(about && about->isVisible());
    QVERIFY(main.isVisible());
    QVERIFY(!main.findChild<QSystemTrayIcon *>()->isVisible());
}

void TestForm2::mainWindowTakesAboutAlong()
{
    auto main = std::make_unique<Form1>();
    main->show();
    click(button(main.get(), "Command3"));
    QPointer<Form2> about = aboutWindows().value(0);
    QVERIFY(about);
    about->hide();
    main.reset();
    QVERIFY(about.isNull());
}

void TestForm2::endingTheProgramClosesAbout_data()
{
    QTest::addColumn<bool>("exitButton");
    QTest::newRow("Exit") << true;
    QTest::newRow("close box") << false;
}

void TestForm2::endingTheProgramClosesAbout()
{
    QFETCH(bool, exitButton);
    Form1 main;
    main.show();
    click(button(&main, "Command3"));
    QPointer<Form2> about = aboutWindows().value(0);
    QVERIFY(about);
    if (exitButton)
        click(button(&main, "command4"));
    else
        QVERIFY(main.close());
    QVERIFY(!about || !about->isVisible());
    QTRY_VERIFY(about.isNull());
}

QTEST_MAIN(TestForm2)

#include "tst_form2.moc"
