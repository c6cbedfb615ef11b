#include "form1.h"

#include "captionradiobutton.h"
#include "configfiles.h"
#include "localaddress.h"
#include "recordingcontrol.h"
#include "testfiles.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QtMath>

#include <memory>

#include <sys/stat.h>
#include <unistd.h>

using namespace testfiles;

class TestForm1 : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void window();
    void inventory_data();
    void inventory();
    void noMissingElements();
    void tabOrder();
    void startingState();
    void optionGroupsAreIndependent();
    void enterAndEscapePressNoButton();
    void resizingMovesNothing();
    void captionsFit_data();
    void captionsFit();
    void accessibleNames_data();
    void accessibleNames();

    void loadWithoutLastSettings();
    void loadRestoresAllButTheAddress();
    void restoreKeepsChoicesForBadValues();
    void unusableLastSettingsKeepStartingValues_data();
    void unusableLastSettingsKeepStartingValues();
    void charactersReachBothFilesAndComeBack_data();
    void charactersReachBothFilesAndComeBack();
    void longValuesAreRestoredOrCutWhole_data();
    void longValuesAreRestoredOrCutWhole();
    void pasteAtTheLimitKeepsCharactersWhole();

    void startWritesFilesAndRuns();
    void startWithUnwritableFileStaysStopped();
    void stopReturnsToStopped();
    void serverStateOpensCurrentAddress();
    void exitStopsRunningServerOnce();
    void serverEndingByItselfIsReadOut();
    void loadAdoptsRunningServer();
    void searchWaitsForFirstPaint();

private:
    template <typename T = QWidget> T *child(const char *name) const
    {
        auto *w = m_form->findChild<T *>(QString::fromLatin1(name));
        if (!w)
            qWarning("no control %s", name);
        return w;
    }
    void click(const char *name) { QTest::mouseClick(child<QAbstractButton>(name), Qt::LeftButton); }
    void clickOption(const char *name)
    {
        auto *b = child<QAbstractButton>(name);
        QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(8, b->height() / 2));
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_previousDir;
    RecordingControl::Log m_log;
    RecordingControl *m_control = nullptr;
    std::unique_ptr<Form1> m_form;
};

void TestForm1::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    m_log = RecordingControl::Log{};
    auto control = std::make_unique<RecordingControl>(m_log);
    m_control = control.get();
    m_form = std::make_unique<Form1>(std::move(control));
}

void TestForm1::cleanup()
{
    m_form.reset();
    QDir::setCurrent(m_previousDir);
    m_dir.reset();
}

void TestForm1::window()
{
    QCOMPARE(m_form->objectName(), QStringLiteral("Form1"));
    QCOMPARE(m_form->windowTitle(), QStringLiteral("OrbelithServer GUI"));
    QCOMPARE(m_form->size(), QSize(646, 510));
    const Qt::WindowFlags flags = m_form->windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(m_form->layout() == nullptr);
}

void TestForm1::inventory_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("inside");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("twips");
    QTest::addColumn<qreal>("points");
    QTest::addColumn<bool>("bold");

    const auto row = [](const char *name, const char *kind, const char *inside, const QString &caption,
                        int left, int top, int width, int height, qreal points = 9, bool bold = false) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(kind)
                            << QString::fromLatin1(inside) << caption << QRect(left, top, width, height)
                            << points << bold;
    };
    row("Label1(0)", "QLabel", "Form1", "ServerName", 240, 360, 1095, 255);
    row("Text1(0)", "QLineEdit", "Form1", "Quillmere", 1680, 240, 3135, 375);
    row("Label1(1)", "QLabel", "Form1", "Location", 6000, 360, 975, 255);
    row("Text1(1)", "QLineEdit", "Form1", "", 7200, 240, 2175, 375);
    row("Label1(2)", "QLabel", "Form1", "Web Page", 240, 960, 975, 255);
    row("Text1(2)", "QLineEdit", "Form1", "http://", 1680, 840, 3135, 375);
    row("Label1(3)", "QLabel", "Form1", "MaxUsers", 6000, 960, 1215, 255);
    row("Text1(3)", "QLineEdit", "Form1", "50", 7200, 840, 2175, 375);
    row("Label1(4)", "QLabel", "Form1", "ServPort", 240, 1560, 975, 255);
    row("Text1(4)", "QLineEdit", "Form1", "27888", 1680, 1440, 1095, 375);
    row("Label1(6)", "QLabel", "Form1", "IP Address", 6000, 1560, 1095, 255);
    row("Text1(5)", "QLineEdit", "Form1", "", 7200, 1440, 2175, 375);
    row("Label1(7)", "QLabel", "Form1", "MinPing(ms)", 240, 2400, 1215, 255);
    row("Text1(8)", "QLineEdit", "Form1", "0", 1680, 2280, 975, 375);
    row("Frame1", "QGroupBox", "Form1", "Network Type", 4920, 2160, 4455, 855);
    row("Option1", "QRadioButton", "Frame1", "Lan", 480, 240, 1095, 375);
    row("Option2", "QRadioButton", "Frame1", "Internet", 1920, 240, 1335, 375);
    row("Frame2", "QGroupBox", "Form1", "Messages flood protection", 240, 3360, 3495, 1095);
    row("Text4", "QLineEdit", "Frame2", "3", 120, 360, 495, 375, 10.5);
    row("Label2", "QLabel", "Frame2", "messages at most in ", 720, 480, 2055, 255);
    row("Text3", "QLineEdit", "Frame2", "5", 2520, 360, 495, 375, 10.5);
    row("Label3", "QLabel", "Frame2", "ms", 3120, 480, 255, 255);
    row("Label1(8)", "QLabel", "Form1", "Message of the Day", 4920, 3120, 2295, 255);
    row("Text2", "QPlainTextEdit", "Form1", "Welcome!\n", 4920, 3480, 4455, 975);
    row("Frame3", "QGroupBox", "Form1", " Maximum connection setting restriction", 240, 4800, 9135, 975);
    row("Option3(0)", "QRadioButton", "Frame3", "Disabled", 240, 360, 1095, 375);
    row("Option3(1)", "QRadioButton", "Frame3", "Bad 10fps", 1440, 360, 1095, 375);
    row("Option3(2)", "QRadioButton", "Frame3", "Low 12fps", 2640, 360, 975, 375);
    row("Option3(3)", "QRadioButton", "Frame3", "Average15fps", 3840, 360, 975, 375);
    row("Option3(4)", "QRadioButton", "Frame3", "Good 20fps", 5040, 360, 975, 375);
    row("Option3(5)", "QRadioButton", "Frame3", "Excellant 30fps", 6240, 360, 1215, 375);
    row("Option3(6)", "QRadioButton", "Frame3", "LAN\n60fps", 7440, 360, 1335, 375);
    row("Label4", "QLabel", "Form1", "", 480, 6360, 3495, 255, 10.5, true);
    row("Command1", "QPushButton", "Form1", "Start", 4320, 6240, 1575, 495);
    row("command2", "QPushButton", "Form1", "Stop", 6120, 6240, 1455, 495);
    row("Command5", "QPushButton", "Form1", "Server State", 7920, 6240, 1455, 495);
    row("Command3", "QPushButton", "Form1", "About", 7680, 6960, 855, 495);
    row("command4", "QPushButton", "Form1", "Exit", 8640, 6960, 735, 495);
}

void TestForm1::inventory()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, inside);
    QFETCH(QString, caption);
    QFETCH(QRect, twips);
    QFETCH(qreal, points);
    QFETCH(bool, bold);

    const QList<QWidget *> matches = m_form->findChildren<QWidget *>(name);
    QCOMPARE(matches.size(), 1);
    QWidget *w = matches.first();
    QVERIFY2(w->inherits(qPrintable(kind)), w->metaObject()->className());
    QCOMPARE(w->parentWidget()->objectName(), inside);
    QCOMPARE(w->geometry(), QRect(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15));
    QCOMPARE(w->font().family(), QStringLiteral("Arial"));
    QCOMPARE(w->font().pointSizeF(), points);
    QCOMPARE(w->font().bold(), bold);

    QString text;
    if (auto *l = qobject_cast<QLabel *>(w))
        text = l->text();
    else if (auto *e = qobject_cast<QLineEdit *>(w))
        text = e->text();
    else if (auto *b = qobject_cast<QAbstractButton *>(w))
        text = b->text();
    else if (auto *g = qobject_cast<QGroupBox *>(w))
        text = g->title();
    else if (auto *p = qobject_cast<QPlainTextEdit *>(w))
        text = p->toPlainText();
    QCOMPARE(text, caption);
}

void TestForm1::noMissingElements()
{
    for (const char *absent : {"Text1(6)", "Text1(7)", "Label1(5)", "Option3(7)"})
        QVERIFY2(!m_form->findChild<QWidget *>(QString::fromLatin1(absent)), absent);
    QCOMPARE(m_form->findChildren<QPushButton *>().size(), 5);
    QCOMPARE(m_form->findChildren<QLineEdit *>().size(), 9);
    QCOMPARE(m_form->findChildren<QRadioButton *>().size(), 9);
}

void TestForm1::tabOrder()
{
    const QStringList expected{
        "Text1(0)",   "Text1(1)",   "Text1(2)",   "Text1(3)",   "Text1(4)",   "Option1",
        "Option2",    "Text1(5)",   "Text1(8)",   "Option3(0)", "Option3(1)", "Option3(2)",
        "Option3(3)", "Option3(4)", "Option3(5)", "Option3(6)", "Text2",      "Text3",
        "Text4",      "Command3",   "Command5",   "Command1",   "command2",   "command4",
    };
    QStringList chain;
    QWidget *w = child("Text1(0)");
    do {
        if ((w->focusPolicy() & Qt::TabFocus) && m_form->isAncestorOf(w))
            chain.append(w->objectName());
        w = w->nextInFocusChain();
    } while (w != child("Text1(0)") && chain.size() < 100);
    QCOMPARE(chain, expected);
    for (auto *label : m_form->findChildren<QLabel *>())
        QCOMPARE(label->focusPolicy(), Qt::NoFocus);
    for (auto *frame : m_form->findChildren<QGroupBox *>())
        QCOMPARE(frame->focusPolicy(), Qt::NoFocus);

    m_form->show();
    QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
    QCOMPARE(QApplication::focusWidget(), child("Text1(0)"));
}

void TestForm1::startingState()
{
    QVERIFY(child("Command1")->isEnabled());
    QVERIFY(!child("command2")->isEnabled());
    QVERIFY(!child("Command5")->isEnabled());
    QVERIFY(child("Command3")->isEnabled());
    QVERIFY(child("command4")->isEnabled());
    QVERIFY(!m_form->isServerRunning());
    QVERIFY(child<QRadioButton>("Option2")->isChecked());
    QVERIFY(!child<QRadioButton>("Option1")->isChecked());
    QVERIFY(child<QRadioButton>("Option3(0)")->isChecked());
    QCOMPARE(child<QPlainTextEdit>("Text2")->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(child<QLabel>("Label4")->foregroundRole(), QPalette::Highlight);
    {
        // Qt's palette on Windows has the window's colour as the highlight of
        // an inactive window: the status line must not vanish into it.
        const QPalette saved = QApplication::palette();
        QPalette windowsLike = saved;
        windowsLike.setColor(QPalette::Inactive, QPalette::Highlight, saved.color(QPalette::Window));
        QApplication::setPalette(windowsLike);
        RecordingControl::Log log;
        const Form1 other(std::make_unique<RecordingControl>(log));
        const QPalette status = other.findChild<QLabel *>(QStringLiteral("Label4"))->palette();
        QApplication::setPalette(saved);
        QCOMPARE(status.color(QPalette::Inactive, QPalette::Highlight),
                 saved.color(QPalette::Active, QPalette::Highlight));
    }

    ServerSettings expected;
    expected.ip = QString();
    QVERIFY(m_form->settingsFromControls() == expected);
}

void TestForm1::optionGroupsAreIndependent()
{
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    const auto checkedNames = [this] {
        QStringList names;
        for (auto *b : m_form->findChildren<QRadioButton *>())
            if (b->isChecked())
                names.append(b->objectName());
        names.sort();
        return names;
    };
    clickOption("Option1");
    QCOMPARE(checkedNames(), (QStringList{"Option1", "Option3(0)"}));
    for (int i = 6; i >= 0; --i) {
        clickOption(qPrintable(QStringLiteral("Option3(%1)").arg(i)));
        QCOMPARE(checkedNames(), (QStringList{"Option1", QStringLiteral("Option3(%1)").arg(i)}));
    }
    clickOption("Option3(4)");
    clickOption("Option2");
    QCOMPARE(checkedNames(), (QStringList{"Option2", "Option3(4)"}));
    clickOption("Option2");
    QCOMPARE(checkedNames(), (QStringList{"Option2", "Option3(4)"}));
    QCOMPARE(m_form->settingsFromControls().maxConnSet, std::optional<int>(4));
}

void TestForm1::enterAndEscapePressNoButton()
{
    m_form->show();
    QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (auto *b : m_form->findChildren<QPushButton *>()) {
        QVERIFY(!b->isDefault());
        QVERIFY(!b->autoDefault());
        spies.push_back(std::make_unique<QSignalSpy>(b, &QPushButton::clicked));
    }
    for (auto *edit : m_form->findChildren<QLineEdit *>()) {
        edit->setFocus();
        QTest::keyClick(edit, Qt::Key_Return);
        QTest::keyClick(edit, Qt::Key_Enter);
        QTest::keyClick(edit, Qt::Key_Escape);
    }
    QTest::keyClick(m_form.get(), Qt::Key_Escape);
    for (const auto &spy : spies)
        QCOMPARE(spy->count(), 0);
    QVERIFY(m_form->isVisible());

    auto *motd = child<QPlainTextEdit>("Text2");
    motd->setFocus();
    motd->moveCursor(QTextCursor::End);
    QTest::keyClicks(motd, QStringLiteral("Hi"));
    QTest::keyClick(motd, Qt::Key_Return);
    QTest::keyClicks(motd, QStringLiteral("there"));
    QCOMPARE(m_form->settingsFromControls().motd, QStringLiteral("Welcome!\r\nHi\r\nthere"));
}

void TestForm1::resizingMovesNothing()
{
    QMap<QString, QRect> before;
    for (auto *w : m_form->findChildren<QWidget *>())
        before.insert(w->objectName(), w->geometry());
    m_form->resize(300, 200);
    m_form->resize(900, 700);
    for (auto *w : m_form->findChildren<QWidget *>()) {
        if (!w->objectName().isEmpty())
            QCOMPARE(w->geometry(), before.value(w->objectName()));
    }
}

void TestForm1::captionsFit_data()
{
    QTest::addColumn<int>("element");
    QTest::addColumn<QStringList>("lines");
    // A caption too wide for its button wraps at the blank; one without a
    // blank is elided rather than cut through a letter.
    QTest::newRow("Disabled") << 0 << QStringList{"Disabled"};
    QTest::newRow("Bad 10fps") << 1 << QStringList{"Bad", "10fps"};
    QTest::newRow("Low 12fps") << 2 << QStringList{"Low", "12fps"};
    QTest::newRow("Average15fps") << 3 << QStringList{};
    QTest::newRow("Good 20fps") << 4 << QStringList{"Good", "20fps"};
    QTest::newRow("Excellant 30fps") << 5 << QStringList{"Excellant", "30fps"};
    QTest::newRow("LAN 60fps") << 6 << QStringList{"LAN", "60fps"};
}

void TestForm1::captionsFit()
{
    QFETCH(int, element);
    QFETCH(QStringList, lines);
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    auto *button = child<CaptionRadioButton>(qPrintable(QStringLiteral("Option3(%1)").arg(element)));
    QVERIFY(button);
    const QString caption = button->text();
    QCOMPARE(button->toolTip(), QString(caption).replace(u'\n', u' '));

    const QString shown = button->displayedCaption();
    const int room = button->captionRoom();
    QVERIFY(room > 0);
    for (const QString &line : shown.split(u'\n'))
        QVERIFY2(button->fontMetrics().horizontalAdvance(line) <= room, qPrintable(line));
    if (lines.isEmpty()) {
        QVERIFY2(shown.endsWith(QChar(0x2026)) || shown.endsWith(QStringLiteral("...")), qPrintable(shown));
        QVERIFY(caption.startsWith(shown.chopped(1).remove(QStringLiteral(".."))));
    } else {
        QCOMPARE(shown.split(u'\n'), lines);
    }

    // Drawn, no ink touches the edges of the caption's area: nothing is cut.
    const QImage image = button->grab().toImage();
    const qreal ratio = image.devicePixelRatio();
    QStyleOptionButton option;
    option.initFrom(button);
    const int left = qCeil(
        button->style()->subElementRect(QStyle::SE_RadioButtonContents, &option, button).left() * ratio);
    const auto inked = [&image](int x, int y) {
        return qGray(image.pixel(x, y)) < 160;
    };
    for (int y = 0; y < image.height(); ++y)
        QVERIFY2(!inked(image.width() - 1, y), qPrintable(QStringLiteral("right edge, row %1").arg(y)));
    for (int x = left; x < image.width(); ++x) {
        QVERIFY2(!inked(x, 0), qPrintable(QStringLiteral("top edge, column %1").arg(x)));
        QVERIFY2(!inked(x, image.height() - 1), qPrintable(QStringLiteral("bottom edge, column %1").arg(x)));
    }
}

void TestForm1::accessibleNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("spoken");
    QTest::addColumn<QStringList>("labels");
    // Boxes are named by their labels, buttons by their captions, frames by
    // theirs; a frame labels what it holds.
    QTest::newRow("Text1(0)") << "Text1(0)"
                              << "ServerName" << QStringList{"Label1(0)"};
    QTest::newRow("Text1(1)") << "Text1(1)"
                              << "Location" << QStringList{"Label1(1)"};
    QTest::newRow("Text1(2)") << "Text1(2)"
                              << "Web Page" << QStringList{"Label1(2)"};
    QTest::newRow("Text1(3)") << "Text1(3)"
                              << "MaxUsers" << QStringList{"Label1(3)"};
    QTest::newRow("Text1(4)") << "Text1(4)"
                              << "ServPort" << QStringList{"Label1(4)"};
    QTest::newRow("Text1(5)") << "Text1(5)"
                              << "IP Address" << QStringList{"Label1(6)"};
    QTest::newRow("Text1(8)") << "Text1(8)"
                              << "MinPing(ms)" << QStringList{"Label1(7)"};
    QTest::newRow("Text2") << "Text2"
                           << "Message of the Day" << QStringList{"Label1(8)"};
    QTest::newRow("Text4") << "Text4"
                           << "messages at most in" << QStringList{"Frame2", "Label2"};
    QTest::newRow("Text3") << "Text3"
                           << "ms" << QStringList{"Frame2", "Label3"};
    QTest::newRow("Option1") << "Option1"
                             << "Lan" << QStringList{"Frame1"};
    QTest::newRow("Option3(1)") << "Option3(1)"
                                << "Bad 10fps" << QStringList{"Frame3"};
    QTest::newRow("Option3(6)") << "Option3(6)"
                                << "LAN 60fps" << QStringList{"Frame3"};
    QTest::newRow("Command5") << "Command5"
                              << "Server State" << QStringList{};
    QTest::newRow("Frame1") << "Frame1"
                            << "Network Type" << QStringList{};
    QTest::newRow("Frame3") << "Frame3"
                            << "Maximum connection setting restriction" << QStringList{};
}

void TestForm1::accessibleNames()
{
    QFETCH(QString, name);
    QFETCH(QString, spoken);
    QFETCH(QStringList, labels);
    QAccessibleInterface *control = QAccessible::queryAccessibleInterface(child(qPrintable(name)));
    QVERIFY(control);
    QCOMPARE(control->text(QAccessible::Name).trimmed(), spoken);
    QStringList labelledBy;
    for (const auto &[label, relation] : control->relations(QAccessible::Label))
        labelledBy.append(label->object()->objectName());
    labelledBy.sort();
    QCOMPARE(labelledBy, labels);

    // And nothing that takes the focus goes unnamed.
    int focusable = 0;
    for (QWidget *w : m_form->findChildren<QWidget *>()) {
        if (!(w->focusPolicy() & Qt::TabFocus))
            continue;
        ++focusable;
        QAccessibleInterface *i = QAccessible::queryAccessibleInterface(w);
        QVERIFY2(i && !i->text(QAccessible::Name).trimmed().isEmpty(), qPrintable(w->objectName()));
    }
    QCOMPARE(focusable, 24);
}

void TestForm1::loadWithoutLastSettings()
{
    m_form->Form_Load();
    ServerSettings expected;
    expected.ip = localIpAddress();
    QVERIFY(!expected.ip.isEmpty());
    QVERIFY(m_form->settingsFromControls() == expected);
    QVERIFY(!QFile::exists(kLastSettingsFileName));
}

void TestForm1::loadRestoresAllButTheAddress()
{
    ServerSettings saved;
    saved.serverName = QStringLiteral(" Restored = yes ");
    saved.location = QStringLiteral("Here");
    saved.url = QStringLiteral("http://example.org/");
    saved.maxUsers = QStringLiteral("12");
    saved.port = QStringLiteral("1234");
    saved.isPublic = false;
    saved.ip = QStringLiteral("203.0.113.9");
    saved.floodMsgNb = QStringLiteral("7");
    saved.floodMsgTime = QStringLiteral("8");
    saved.minPing = QStringLiteral("9");
    saved.maxConnSet = 6;
    saved.motd = QStringLiteral("line one\r\n\r\nline three\r\n");
    QVERIFY(writeFile(kLastSettingsFileName, WriteLastSettings(saved)));

    m_form->Form_Load();
    ServerSettings expected = saved;
    expected.ip = localIpAddress();
    QCOMPARE(child<QPlainTextEdit>("Text2")->toPlainText(), QStringLiteral("line one\n\nline three\n"));
    QVERIFY(child<QRadioButton>("Option1")->isChecked());
    QVERIFY(!child<QRadioButton>("Option3(0)")->isChecked());
    QVERIFY(m_form->settingsFromControls() == expected);
    QCOMPARE(m_form->GetFromINI(QStringLiteral("last"), QStringLiteral("maxusers")), QStringLiteral("12"));
}

void TestForm1::restoreKeepsChoicesForBadValues()
{
    clickOption("Option1");
    child<QRadioButton>("Option3(2)")->setChecked(true);
    QVERIFY(writeFile(kLastSettingsFileName,
                      "[Last]\r\nServerName=x\r\nMaxConnSet=9\r\nPublic=\r\nMotdLine=\r\n"));
    m_form->RestoreLastSettings();
    QVERIFY(child<QRadioButton>("Option1")->isChecked());
    QVERIFY(child<QRadioButton>("Option3(2)")->isChecked());
    QCOMPARE(child<QPlainTextEdit>("Text2")->toPlainText(), QStringLiteral("Welcome!\n"));
    QCOMPARE(child<QLineEdit>("Text1(0)")->text(), QStringLiteral("x"));
    QCOMPARE(child<QLineEdit>("Text1(4)")->text(), QString());
}

void TestForm1::unusableLastSettingsKeepStartingValues_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("reason");
    QTest::newRow("folder") << "folder"
                            << "it is a folder";
    QTest::newRow("FIFO") << "FIFO"
                          << "it is not a regular file";
    QTest::newRow("link to /dev/zero") << "link to /dev/zero"
                                       << "it is not a regular file";
    QTest::newRow("no read permission") << "no read permission" << qt_error_string(EACCES);
}

void TestForm1::unusableLastSettingsKeepStartingValues()
{
    QFETCH(QString, what);
    QFETCH(QString, reason);
    if (what == u"folder") {
        QVERIFY(QDir().mkdir(kLastSettingsFileName));
    } else if (what == u"FIFO") {
        QCOMPARE(::mkfifo(QFile::encodeName(kLastSettingsFileName).constData(), 0600), 0);
    } else if (what == u"link to /dev/zero") {
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), kLastSettingsFileName));
    } else if (what == u"no read permission") {
        if (::geteuid() == 0)
            QSKIP("root reads every file");
        QVERIFY(writeFile(kLastSettingsFileName, "[Last]\r\nServerName=unread\r\n"));
        QVERIFY(QFile::setPermissions(kLastSettingsFileName, QFile::WriteOwner));
    }

    m_form->Form_Load();
    ServerSettings expected;
    expected.ip = localIpAddress();
    QVERIFY(m_form->settingsFromControls() == expected);
    QCOMPARE(child<QLabel>("Label4")->text(), QStringLiteral("Could not read orbelithsrv.ini: ") + reason +
                                                  QStringLiteral("; the last settings were not restored."));
}

void TestForm1::charactersReachBothFilesAndComeBack_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("no-break space") << QStringLiteral("Bienvenue\u00a0!");
    QTest::newRow("line separator") << QStringLiteral("one\u2028two");
    QTest::newRow("character beyond 16 bits") << QStringLiteral("\U0001F600 ok");
    QTest::newRow("zero-width no-break space") << QStringLiteral("\ufeffx\u200by");
    QTest::newRow("@ inside a line") << QStringLiteral("Questions: admin@example.com");
}

void TestForm1::charactersReachBothFilesAndComeBack()
{
    QFETCH(QString, value);
    const QByteArray utf8 = value.toUtf8();
    child<QLineEdit>("Text1(0)")->setText(value);
    auto *message = child<QPlainTextEdit>("Text2");
    message->clear();
    message->insertPlainText(value + u'\n' + value);
    click("Command1");
    QCOMPARE(m_log.launches, 1);

    const QByteArray config = readFile(kServerConfigFileName);
    QVERIFY2(config.contains("ServerName=" + utf8 + "\r\n"), config.constData());
    QVERIFY2(config.contains("\r\nMotdLine=" + utf8 + "\r\nMotdLine=" + utf8 + "\r\n"), config.constData());
    const QByteArray lastSettings = readFile(kLastSettingsFileName);
    QVERIFY2(lastSettings.contains("ServerName=" + utf8 + "\r\n"), lastSettings.constData());
    QVERIFY2(lastSettings.contains("\r\nMotdLine=" + utf8 + '@' + utf8 + "@\r\n"), lastSettings.constData());

    // And back into a new window as they were.
    RecordingControl::Log log;
    Form1 restored(std::make_unique<RecordingControl>(log));
    restored.Form_Load();
    const ServerSettings settings = restored.settingsFromControls();
    QCOMPARE(settings.serverName, value);
    QCOMPARE(settings.motd, value + QStringLiteral("\r\n") + value);
    QCOMPARE(restored.findChild<QPlainTextEdit *>(QStringLiteral("Text2"))->document()->toRawText(),
             value + QChar(QChar::ParagraphSeparator) + value);
}

void TestForm1::longValuesAreRestoredOrCutWhole_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("shown");

    const QString pair = QStringLiteral("\U0001F600");
    QTest::newRow("40 000 characters, in pairs") << pair.repeated(20000) << pair.repeated(20000);
    QTest::newRow("65 536 characters") << QString(65536, u'x') << QString(65536, u'x');
    QTest::newRow("65 537 characters") << QString(65537, u'x') << QString(65536, u'x');
    QTest::newRow("a pair across the limit") << u'a' + pair.repeated(33000) << u'a' + pair.repeated(32767);
}

void TestForm1::longValuesAreRestoredOrCutWhole()
{
    QFETCH(QString, value);
    QFETCH(QString, shown);
    QVERIFY(writeFile(kLastSettingsFileName,
                      "[Last]\r\nServerName=" + value.toUtf8() + "\r\nLocation=" + value.toUtf8() + "\r\n"));
    m_form->Form_Load();
    QCOMPARE(child<QLineEdit>("Text1(0)")->text(), shown);
    QCOMPARE(child<QLineEdit>("Text1(1)")->text(), shown);
    const QString status = child<QLabel>("Label4")->text();
    if (shown == value) {
        QCOMPARE(status, QString());
    } else {
        const QString cut = QStringLiteral("%1 in orbelithsrv.ini is too long for its box (%2 characters, at "
                                           "most 65536); it was cut.");
        QCOMPARE(status, cut.arg(QStringLiteral("ServerName")).arg(value.size()) + u'\n' +
                             cut.arg(QStringLiteral("Location")).arg(value.size()));
    }
}

void TestForm1::pasteAtTheLimitKeepsCharactersWhole()
{
    auto *box = child<QLineEdit>("Text1(1)");
    QCOMPARE(box->maxLength(), 65536);
    const QString room(65535, u'x');
    box->setText(room);
    // A character of two halves, where only one fits.
    box->insert(QStringLiteral("\U0001F600"));
    QTRY_COMPARE(child<QLabel>("Label4")->text(),
                 QStringLiteral(
                     "The text is too long for its box (at most 65536 characters); the rest was left out."));
    QCOMPARE(box->text(), room);
}

void TestForm1::startWritesFilesAndRuns()
{
    child<QLineEdit>("Text1(5)")->setText(QStringLiteral("192.0.2.10"));
    click("Command1");
    QCOMPARE(m_log.launches, 1);
    QCOMPARE(readFile(kServerConfigFileName).size(), 197);
    QVERIFY(m_form->isServerRunning());
    QVERIFY(!child("Command1")->isEnabled());
    QVERIFY(child("command2")->isEnabled());
    QVERIFY(child("Command5")->isEnabled());
    QCOMPARE(child<QLabel>("Label4")->text(), QStringLiteral("Orbelith Server started...."));
}

void TestForm1::startWithUnwritableFileStaysStopped()
{
    QVERIFY(QDir().mkdir(kLastSettingsFileName));
    click("Command1");
    QCOMPARE(m_log.launches, 0);
    QVERIFY(child("Command1")->isEnabled());
    QVERIFY(!child("command2")->isEnabled());
    // A long message wraps into the room below, never onto the buttons.
    QVERIFY(child<QLabel>("Label4")->height() > 17);
    QVERIFY(child<QLabel>("Label4")->geometry().bottom() < child("Command3")->geometry().bottom());
}

void TestForm1::stopReturnsToStopped()
{
    click("Command1");
    click("command2");
    QCOMPARE(m_log.stops, 1);
    // Nothing can be pressed until every server has ended.
    QCOMPARE(child<QLabel>("Label4")->text(), QStringLiteral("Stopping Orbelith Server..."));
    for (const char *name : {"Command1", "command2", "Command5"})
        QVERIFY2(!child(name)->isEnabled(), name);
    QVERIFY(child("command4")->isEnabled());
    m_control->finishStop();
    QVERIFY(child("Command1")->isEnabled());
    QVERIFY(!child("command2")->isEnabled());
    QVERIFY(!child("Command5")->isEnabled());
    QCOMPARE(child<QLabel>("Label4")->text(), QStringLiteral("Orbelith Server stopped"));
    QCOMPARE(child<QLabel>("Label4")->height(), 17);
}

void TestForm1::serverStateOpensCurrentAddress()
{
    child<QLineEdit>("Text1(5)")->setText(QStringLiteral("198.51.100.77"));
    click("Command1");
    child<QLineEdit>("Text1(4)")->setText(QStringLiteral(" 12 ab"));
    click("Command5");
    QCOMPARE(m_log.openedUrls,
             QStringList{QStringLiteral("http://") + localIpAddress() + QStringLiteral(": 12 ab")});
    QCOMPARE(child<QLabel>("Label4")->text(), QStringLiteral("Orbelith Server started...."));
    QVERIFY(m_form->isServerRunning());
}

void TestForm1::exitStopsRunningServerOnce()
{
    click("Command1");
    click("command4");
    QCOMPARE(m_log.stops, 1);
    m_form->close();
    QCOMPARE(m_log.stops, 1);
}

void TestForm1::serverEndingByItselfIsReadOut()
{
    click("Command1");
    m_control->endServer({ServerExit::Kind::Exited, 1, QString(), QStringLiteral("<b>bad</b>")});
    const QString expected = QStringLiteral("Orbelith Server exited with code 1: <b>bad</b>");
    QCOMPARE(child<QLabel>("Label4")->text(), expected);
    QCOMPARE(QAccessible::queryAccessibleInterface(child("Label4"))->text(QAccessible::Name), expected);
    QVERIFY(child("Command1")->isEnabled());
    QVERIFY(!child("command2")->isEnabled());
}

void TestForm1::loadAdoptsRunningServer()
{
    // What the restore had to say stays in front of what the search found.
    QVERIFY(writeFile(kLastSettingsFileName, "[Last]\r\nServerName=" + QByteArray(70000, 'x') + "\r\n"));
    m_log.running = {SearchAnswer::Outcome::Running, 4242, std::nullopt};
    m_form->Form_Load();
    QCOMPARE(m_log.searches, 1);
    const QString status = child<QLabel>("Label4")->text();
    QVERIFY2(status.startsWith(QStringLiteral("ServerName in orbelithsrv.ini is too long")),
             qPrintable(status));
    QVERIFY2(status.endsWith(QStringLiteral("\nOrbelith Server is already running (PID 4242)")),
             qPrintable(status));
    QVERIFY(m_form->isServerRunning());
    QVERIFY(!child("Command1")->isEnabled());
    QVERIFY(child("command2")->isEnabled());
    QVERIFY(child("Command5")->isEnabled());
    // Taken over, not launched here: Exit leaves it running.
    click("command4");
    QCOMPARE(m_log.stops, 0);
}

void TestForm1::searchWaitsForFirstPaint()
{
    // Not shown, so never painted: the search starts all the same.
    m_form->Form_Load(Form1::Adoption::AfterFirstPaint);
    QCOMPARE(m_log.searches, 0);
    QTRY_COMPARE(m_log.searches, 1);
    QVERIFY(child("Command1")->isEnabled());
    QVERIFY(!m_form->isServerRunning());
}

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
