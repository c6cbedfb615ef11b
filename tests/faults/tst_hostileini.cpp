// Start-up with a hostile last-settings file in the current directory: huge,
// binary, full of NUL bytes or of sections, or without the section it reads.
// The window must come up, touch no file, and keep the starting value of
// every choice it cannot use. Text boxes take whatever the section holds for
// them, empty when the section or key is missing, as with a well-formed file.
#include "configfiles.h"
#include "form1.h"
#include "motdcodec.h"
#include "processes.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <csignal>
#include <sys/stat.h>

Q_DECLARE_METATYPE(ServerSettings)

namespace {

// Bytes that look random but are the same on every run; no '[' so that they
// can open no section by chance.
QByteArray junk(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes) {
        seed = seed * 1664525u + 1013904223u;
        byte = char(seed >> 24);
        if (byte == '[')
            byte = '{';
    }
    return bytes;
}

QByteArray repeated(const QByteArray &block, int times, bool numbered)
{
    QByteArray bytes;
    for (int i = 0; i < times; ++i)
        bytes += numbered ? QByteArray(block).replace("%N", QByteArray::number(i)) : block;
    return bytes;
}

QString shown(const QString &text)
{
    QString out;
    for (const QChar c : text)
        out += c.unicode() < 0x20 ? QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QChar(u'0')) : QString(c);
    return out;
}

// Every setting on a line of its own, so that a mismatch shows where.
QString describe(const ServerSettings &s)
{
    return QStringList{
        QStringLiteral("ServerName=") + shown(s.serverName),
        QStringLiteral("Location=") + shown(s.location),
        QStringLiteral("URL=") + shown(s.url),
        QStringLiteral("MaxUsers=") + shown(s.maxUsers),
        QStringLiteral("Port=") + shown(s.port),
        QStringLiteral("Public=%1").arg(s.isPublic),
        QStringLiteral("IP=") + shown(s.ip),
        QStringLiteral("FloodMsgNb=") + shown(s.floodMsgNb),
        QStringLiteral("FloodMsgTime=") + shown(s.floodMsgTime),
        QStringLiteral("MinPing=") + shown(s.minPing),
        QStringLiteral("MaxConnSet=%1").arg(s.maxConnSet ? *s.maxConnSet : -1),
        QStringLiteral("Motd=") + shown(s.motd),
    }
        .join(u'\n');
}

} // namespace

class TestHostileIni : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void startUpWithHostileFile_data();
    void startUpWithHostileFile();
    void overlongMessageIsLeftOut_data();
    void overlongMessageIsLeftOut();
    void shippedProgramStartsPastFifo();

private:
    // The window's settings once started in the current directory.
    static ServerSettings startUp(Form1 &form);

    ServerSettings m_fresh;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_previousDir;
};

ServerSettings TestHostileIni::startUp(Form1 &form)
{
    form.Form_Load();
    form.show();
    return form.settingsFromControls();
}

void TestHostileIni::initTestCase()
{
    const QString previous = QDir::currentPath();
    QTemporaryDir empty;
    QVERIFY(empty.isValid() && QDir::setCurrent(empty.path()));
    Form1 form;
    m_fresh = startUp(form);
    QDir::setCurrent(previous);
}

void TestHostileIni::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
}

void TestHostileIni::cleanup()
{
    QDir::setCurrent(m_previousDir);
    m_dir.reset();
}

void TestHostileIni::startUpWithHostileFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<ServerSettings>("expected");

    // Without a usable section every text box is emptied and every choice kept.
    ServerSettings none = m_fresh;
    for (QString *text : {&none.serverName, &none.location, &none.url, &none.maxUsers, &none.port,
                          &none.floodMsgNb, &none.floodMsgTime, &none.minPing})
        text->clear();
    const auto with = [&none](const std::function<void(ServerSettings &)> &change) {
        ServerSettings s = none;
        change(s);
        return s;
    };
    const QByteArray tenMegabytes(10 * 1024 * 1024, 'x');

    QTest::newRow("10 MB on one line") << tenMegabytes << none;
    QTest::newRow("10 MB line in [Last]")
        << "[Last]\r\nJunk=" + tenMegabytes + "\r\nServerName=after\r\nPublic=0\r\n"
        << with([](ServerSettings &s) {
               s.serverName = QStringLiteral("after");
               s.isPublic = false;
           });
    QTest::newRow("binary junk") << junk(256 * 1024, 1) << none;
    QTest::newRow("invalid UTF-8 in [Last]")
        << junk(4096, 2) + "\r\n[Last]\r\nServerName=\xff\xfe(\r\nMaxConnSet=\x80\r\nPublic=\xc0\xb0\r\n" +
               junk(4096, 3)
        << with([](ServerSettings &s) { s.serverName = QStringLiteral("\ufffd\ufffd("); });
    QTest::newRow("UTF-16 with byte order mark")
        << QByteArray("\xff\xfe") +
               QByteArray(reinterpret_cast<const char *>(u"[Last]\r\nServerName=wide\r\nPublic=0\r\n"),
                          2 * 36)
        << none;
    QTest::newRow("NUL bytes only") << QByteArray(64 * 1024, '\0') << none;
    QTest::newRow("NUL bytes in values")
        // A choice is usable only whole, never the part before a NUL.
        << QByteArrayLiteral("[Last]\r\nPort=12\0"
                             "34\r\nMaxConnSet=6\0junk\r\nPublic=0\0\r\nMotdLine=a\0b@c@\r\n")
        << with([](ServerSettings &s) {
               s.port = QStringLiteral("12") + QChar(0) + QStringLiteral("34");
               s.motd = QStringLiteral("a") + QChar(0) + QStringLiteral("b\r\nc");
           });
    QTest::newRow("100 000 sections, none [Last]")
        << repeated("[S%N]\r\nServerName=no\r\nPublic=0\r\n", 100000, true) << none;
    QTest::newRow("[Last] after 100 000 sections")
        << repeated("[S%N]\r\nServerName=no\r\n", 100000, true) + "[Last]\r\nServerName=found\r\n"
        << with([](ServerSettings &s) { s.serverName = QStringLiteral("found"); });
    QTest::newRow("100 000 [Last] sections")
        << "[Last]\r\nServerName=first\r\n" +
               repeated("[Last]\r\nServerName=later\r\nPublic=0\r\n", 99999, false)
        << with([](ServerSettings &s) { s.serverName = QStringLiteral("first"); });
    QTest::newRow("no [Last] section")
        << QByteArray("ServerName=before any section\r\nPublic=0\r\n[Other]\r\nServerName=x\r\nPort=1\r\n"
                      "MaxConnSet=5\r\nMotdLine=hi@\r\n[Last\r\nServerName=unclosed\r\n")
        << none;
}

void TestHostileIni::startUpWithHostileFile()
{
    QFETCH(QByteArray, content);
    QFETCH(ServerSettings, expected);
    {
        QFile file(kLastSettingsFileName);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(content), content.size());
    }

    Form1 form;
    const ServerSettings settings = startUp(form);
    QCOMPARE(describe(settings), describe(expected));
    QVERIFY(form.isVisible());
    QVERIFY(!form.isServerRunning());
    QVERIFY(form.findChild<QAbstractButton *>(QStringLiteral("Command1"))->isEnabled());
    QCOMPARE(form.findChild<QLabel *>(QStringLiteral("Label4"))->text(), QString());

    // Reading changes nothing on disk.
    QFile file(kLastSettingsFileName);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == content);
    QCOMPARE(QDir().entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{kLastSettingsFileName});
}

void TestHostileIni::overlongMessageIsLeftOut_data()
{
    QTest::addColumn<QByteArray>("motdValue");
    QTest::addColumn<bool>("restored");

    // Lengths of the decoded message: the closing "@" is dropped, each other
    // "@" becomes two characters.
    QTest::newRow("65 536 characters, one line") << QByteArray(65536, 'x') + '@' << true;
    QTest::newRow("65 537 characters, one line") << QByteArray(65537, 'x') + '@' << false;
    QTest::newRow("32 768 empty lines") << QByteArray(32769, '@') << true;
    QTest::newRow("10 MB, one line") << QByteArray(10 * 1024 * 1024, 'x') + '@' << false;
    QTest::newRow("5 MB of empty lines") << QByteArray(5 * 1024 * 1024, '@') << false;
}

void TestHostileIni::overlongMessageIsLeftOut()
{
    QFETCH(QByteArray, motdValue);
    QFETCH(bool, restored);
    {
        QFile file(kLastSettingsFileName);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write("[Last]\r\nServerName=kept\r\nMotdLine=" + motdValue + "\r\n") > 0);
    }

    Form1 form;
    const ServerSettings settings = startUp(form);
    QCOMPARE(settings.serverName, QStringLiteral("kept"));
    const QString status = form.findChild<QLabel *>(QStringLiteral("Label4"))->text();
    if (restored) {
        QCOMPARE(settings.motd, DecodeMotd(QString::fromLatin1(motdValue)));
        QCOMPARE(status, QString());
    } else {
        // Kept as it was, and the operator is told why.
        QCOMPARE(settings.motd, m_fresh.motd);
        QVERIFY2(status.contains(QStringLiteral("too long")), qPrintable(status));
        QVERIFY2(status.contains(kLastSettingsFileName), qPrintable(status));
    }
    QVERIFY(form.isVisible());
}

void TestHostileIni::shippedProgramStartsPastFifo()
{
    // No writer ever opens it: an ordinary open of it waits for one forever.
    QCOMPARE(::mkfifo(QFile::encodeName(kLastSettingsFileName).constData(), 0600), 0);
    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.start(QStringLiteral(GUI_PROGRAM), QStringList());
    QVERIFY(program.waitForStarted());
    const auto pid = pid_t(program.processId());
    // The program takes SIGTERM over only once the window is loaded.
    const bool loaded =
        QTest::qWaitFor(
            [&] {
                return testprocesses::catchesSignal(pid, SIGTERM) || program.state() == QProcess::NotRunning;
            },
            30000) &&
        program.state() == QProcess::Running;
    if (!loaded) {
        program.kill();
        program.waitForFinished();
        QFAIL("the program did not get past its start-up");
    }
    QCOMPARE(::kill(pid, SIGTERM), 0);
    QVERIFY(program.waitForFinished(20000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QVERIFY(QFileInfo(kLastSettingsFileName).isFile() == false);
    QCOMPARE(QDir().entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             QStringList{kLastSettingsFileName});
}

QTEST_MAIN(TestHostileIni)
#include "tst_hostileini.moc"
