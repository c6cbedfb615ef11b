#include "configfiles.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

using namespace testfiles;

namespace {

ServerSettings startingValues()
{
    ServerSettings s;
    s.ip = QStringLiteral("192.0.2.10");
    return s;
}

} // namespace

Q_DECLARE_METATYPE(ServerSettings)

class TestConfigFiles : public QObject
{
    Q_OBJECT

private slots:
    void startingValuesGiveExampleFiles();
    void serverConfigLines_data();
    void serverConfigLines();
    void lastSettingsLines_data();
    void lastSettingsLines();

    void writesBothFilesAndReplacesOlderOnes();
    void failedWriteKeepsOldFiles_data();
    void failedWriteKeepsOldFiles();
    void fullDiskKeepsOldFiles();
};

void TestConfigFiles::startingValuesGiveExampleFiles()
{
    const QByteArray conf = "ServerName=Quillmere\r\n"
                            "Location=\r\n"
                            "URL=http://\r\n"
                            "MaxUsers=50\r\n"
                            "Port=27888\r\n"
                            "Public=1\r\n"
                            "IP=192.0.2.10\r\n"
                            "FloodMsgNb=3\r\n"
                            "FloodMsgTime=5\r\n"
                            "MinPing=0\r\n"
                            "MaxConnSet=0\r\n"
                            "MotdLine=Welcome!\r\n"
                            "MotdLine=\r\n"
                            "AllowWebAccess=1";
    const QByteArray ini = "[Last]\r\n"
                           "ServerName=Quillmere\r\n"
                           "Location=\r\n"
                           "URL=http://\r\n"
                           "MaxUsers=50\r\n"
                           "Port=27888\r\n"
                           "Public=1\r\n"
                           "FloodMsgNb=3\r\n"
                           "FloodMsgTime=5\r\n"
                           "MinPing=0\r\n"
                           "MaxConnSet=0\r\n"
                           "MotdLine=Welcome!@@\r\n";
    QCOMPARE(conf.size(), 197);
    QCOMPARE(ini.size(), 165);
    QCOMPARE(WriteServerConfig(startingValues()), conf);
    QCOMPARE(WriteLastSettings(startingValues()), ini);
}

void TestConfigFiles::serverConfigLines_data()
{
    QTest::addColumn<ServerSettings>("settings");
    QTest::addColumn<QByteArrayList>("expectedLines");

    ServerSettings lan = startingValues();
    lan.isPublic = false;
    lan.maxConnSet = 6;
    QTest::newRow("Lan and the last connection setting")
        << lan << QByteArrayList{"Public=0", "MaxConnSet=6", "MotdLine=Welcome!", "MotdLine="};

    ServerSettings none = startingValues();
    none.maxConnSet.reset();
    none.motd = QStringLiteral("one\r\ntwo\r\nthree");
    QTest::newRow("no connection setting, three lines")
        << none << QByteArrayList{"MinPing=0", "MotdLine=one", "MotdLine=two", "MotdLine=three"};

    ServerSettings trailing = startingValues();
    trailing.motd = QStringLiteral("one\r\ntwo\r\nthree\r\n");
    QTest::newRow("break after the last line")
        << trailing << QByteArrayList{"MotdLine=three", "MotdLine=", "AllowWebAccess=1"};

    ServerSettings verbatim = startingValues();
    verbatim.serverName = QStringLiteral("  spaced  ");
    verbatim.url = QStringLiteral("http://x/?a=b@c");
    verbatim.port = QStringLiteral(" 27 888 ");
    verbatim.maxUsers = QString();
    verbatim.motd = QStringLiteral("a@b");
    QTest::newRow("values unchanged") << verbatim
                                      << QByteArrayList{"ServerName=  spaced  ", "URL=http://x/?a=b@c",
                                                        "MaxUsers=", "Port= 27 888 ", "MotdLine=a@b"};

    ServerSettings injected = startingValues();
    injected.serverName = QStringLiteral("evil\nPort=1");
    injected.location = QStringLiteral("a\r\nb\rc");
    QTest::newRow("line breaks in a one-line box become blanks")
        << injected << QByteArrayList{"ServerName=evil Port=1", "Location=a b c", "Port=27888"};

    ServerSettings unicode = startingValues();
    unicode.serverName = QStringLiteral("Zürich 北京");
    QTest::newRow("UTF-8") << unicode << QByteArrayList{"ServerName=Z\xc3\xbcrich \xe5\x8c\x97\xe4\xba\xac"};
}

void TestConfigFiles::serverConfigLines()
{
    QFETCH(ServerSettings, settings);
    QFETCH(QByteArrayList, expectedLines);

    const QByteArray conf = WriteServerConfig(settings);
    QVERIFY(!conf.endsWith("\r\n"));
    QVERIFY(conf.endsWith("\r\nAllowWebAccess=1"));
    QVERIFY(!conf.startsWith("\xEF\xBB\xBF"));
    const QByteArrayList lines = conf.split('\n');
    for (const QByteArray &line : lines.mid(0, lines.size() - 1))
        QVERIFY2(line.endsWith('\r') && line.count('\r') == 1, line.constData());

    // Every expected line is present, in the order given.
    const QByteArray joined = QByteArray("\r\n") + conf + "\r\n";
    qsizetype from = 0;
    for (const QByteArray &line : expectedLines) {
        const qsizetype at = joined.indexOf("\r\n" + line + "\r\n", from);
        QVERIFY2(at >= 0, line.constData());
        from = at + 1;
    }
    QCOMPARE(conf.count("MaxConnSet="), settings.maxConnSet ? 1 : 0);
    QCOMPARE(conf.count("\r\nServerName=") + conf.startsWith("ServerName="), 1);
}

void TestConfigFiles::lastSettingsLines_data()
{
    QTest::addColumn<ServerSettings>("settings");
    QTest::addColumn<QByteArray>("expected");

    ServerSettings changed = startingValues();
    changed.serverName = QStringLiteral(" name = x ");
    changed.isPublic = false;
    changed.maxConnSet.reset();
    changed.motd = QStringLiteral("one\r\n\r\nt@o");
    changed.ip = QStringLiteral("10.9.8.7");
    QTest::newRow("changed") << changed
                             << QByteArray("[Last]\r\nServerName= name = x \r\nLocation=\r\nURL=http://\r\n"
                                           "MaxUsers=50\r\nPort=27888\r\nPublic=0\r\nFloodMsgNb=3\r\n"
                                           "FloodMsgTime=5\r\nMinPing=0\r\nMotdLine=one@@t@o@\r\n"
                                           // The "@" inside a line, kept exactly.
                                           "MotdText=one@@t%40o@\r\n");
}

void TestConfigFiles::lastSettingsLines()
{
    QFETCH(ServerSettings, settings);
    QFETCH(QByteArray, expected);
    QCOMPARE(WriteLastSettings(settings), expected);
}

void TestConfigFiles::writesBothFilesAndReplacesOlderOnes()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath(kServerConfigFileName), QByteArray(4000, 'o')));
    QVERIFY(writeFile(dir.filePath(kLastSettingsFileName), QByteArray(4000, 'o')));

    const ServerSettings settings = startingValues();
    const Result result = writeSettingsFiles(dir.path(), settings);
    QVERIFY2(result.ok(), qPrintable(result.errorMessage()));
    QCOMPARE(readFile(dir.filePath(kServerConfigFileName)), WriteServerConfig(settings));
    QCOMPARE(readFile(dir.filePath(kLastSettingsFileName)), WriteLastSettings(settings));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

void TestConfigFiles::failedWriteKeepsOldFiles_data()
{
    QTest::addColumn<QString>("blocked");
    QTest::addColumn<bool>("readOnly");

    QTest::newRow("directory in place of the configuration") << kServerConfigFileName << false;
    QTest::newRow("directory in place of the last settings") << kLastSettingsFileName << false;
    QTest::newRow("read-only directory") << QString() << true;
}

void TestConfigFiles::failedWriteKeepsOldFiles()
{
    QFETCH(QString, blocked);
    QFETCH(bool, readOnly);
    if (readOnly && ::geteuid() == 0)
        QSKIP("root writes into read-only directories");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray old = "old contents";
    for (const QString &name : {kServerConfigFileName, kLastSettingsFileName}) {
        if (name == blocked)
            QVERIFY(QDir(dir.path()).mkdir(name));
        else
            QVERIFY(writeFile(dir.filePath(name), old));
    }
    if (readOnly)
        QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner));

    const Result result = writeSettingsFiles(dir.path(), startingValues());
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QVERIFY(!result.ok());
    const QString failedName = blocked.isEmpty() ? kServerConfigFileName : blocked;
    QVERIFY2(result.errorMessage().startsWith(QStringLiteral("Could not write ") + failedName + u':'),
             qPrintable(result.errorMessage()));
    QVERIFY(result.errorMessage().size() > QStringLiteral("Could not write : ").size() + failedName.size());
    for (const QString &name : {kServerConfigFileName, kLastSettingsFileName}) {
        if (name != blocked)
            QCOMPARE(readFile(dir.filePath(name)), old);
    }
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(), 2);
}

void TestConfigFiles::fullDiskKeepsOldFiles()
{
    // A file size limit fails the writes the way a full disk does.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath(kServerConfigFileName), "old conf"));
    QVERIFY(writeFile(dir.filePath(kLastSettingsFileName), "old ini"));

    ServerSettings settings = startingValues();
    settings.motd = QString(20000, u'x');

    rlimit saved{};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 1000;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const Result result = writeSettingsFiles(dir.path(), settings);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedHandler);

    QVERIFY(!result.ok());
    QVERIFY2(result.errorMessage().startsWith(QStringLiteral("Could not write orbelithsrv.conf: ")),
             qPrintable(result.errorMessage()));
    QCOMPARE(readFile(dir.filePath(kServerConfigFileName)), QByteArray("old conf"));
    QCOMPARE(readFile(dir.filePath(kLastSettingsFileName)), QByteArray("old ini"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

QTEST_GUILESS_MAIN(TestConfigFiles)
#include "tst_configfiles.moc"
