#include "configfiles.h"
#include "lastsettings.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

Q_DECLARE_METATYPE(ServerSettings)

class TestLastSettings : public QObject
{
    Q_OBJECT

private slots:
    void reader_data();
    void reader();
    void junkGivesAResult_data();
    void junkGivesAResult();
    void load_data();
    void load();

    void roundTrip_data();
    void roundTrip();
    void restoreSetsOrKeeps_data();
    void restoreSetsOrKeeps();
};

void TestLastSettings::reader_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");

    const QByteArray plain = "[Last]\r\nServerName=Quillmere\r\nPort=27888\r\n";
    QTest::newRow("plain") << plain << "Last"
                           << "ServerName"
                           << "Quillmere";
    QTest::newRow("section in other case") << plain << "last"
                                           << "ServerName"
                                           << "Quillmere";
    QTest::newRow("key in other case") << plain << "LAST"
                                       << "servername"
                                       << "Quillmere";
    QTest::newRow("missing key") << plain << "Last"
                                 << "Location"
                                 << "";
    QTest::newRow("missing section") << plain << "Other"
                                     << "Port"
                                     << "";
    QTest::newRow("no ASCII folding beyond ASCII") << QByteArray("[L\xc3\xa4st]\nK=v\n") << "L\u00c4st"
                                                   << "K"
                                                   << "";

    QTest::newRow("LF endings") << QByteArray("[Last]\nA=1\nB=2\n") << "Last"
                                << "B"
                                << "2";
    QTest::newRow("lone CR endings") << QByteArray("[Last]\rA=1\rB=2\r") << "Last"
                                     << "B"
                                     << "2";
    QTest::newRow("mixed endings") << QByteArray("[Last]\r\nA=1\rB=2\nC=3") << "Last"
                                   << "C"
                                   << "3";

    QTest::newRow("first key wins") << QByteArray("[Last]\nA=1\nA=2\n") << "Last"
                                    << "A"
                                    << "1";
    QTest::newRow("first section wins") << QByteArray("[Last]\nA=1\n[last]\nA=2\nB=3\n") << "Last"
                                        << "B"
                                        << "";
    QTest::newRow("key of another section") << QByteArray("[Other]\nA=1\n[Last]\nB=2\n") << "Last"
                                            << "A"
                                            << "";
    QTest::newRow("key before any section") << QByteArray("A=1\n[Last]\n") << "Last"
                                            << "A"
                                            << "";
    QTest::newRow("blanks around section name") << QByteArray("  [ Last ]  \nA=1\n") << "Last"
                                                << "A"
                                                << "1";
    QTest::newRow("text after ]") << QByteArray("[Last] comment\nA=1\n") << "Last"
                                  << "A"
                                  << "1";

    QTest::newRow("blanks and tabs around key") << QByteArray("[Last]\n \t A \t=v\n") << "Last"
                                                << "A"
                                                << "v";
    QTest::newRow("value kept as written") << QByteArray("[Last]\nA=  \"x = y\"  \n") << "Last"
                                           << "A"
                                           << "  \"x = y\"  ";
    QTest::newRow("empty value") << QByteArray("[Last]\nA=\nA=x\n") << "Last"
                                 << "A"
                                 << "";
    QTest::newRow("comment line") << QByteArray("[Last]\n ;A=1\nA=2\n") << "Last"
                                  << "A"
                                  << "2";
    QTest::newRow("semicolon in a value") << QByteArray("[Last]\nA=;1\n") << "Last"
                                          << "A"
                                          << ";1";
    QTest::newRow("line without =") << QByteArray("[Last]\nA\nA=3\n") << "Last"
                                    << "A"
                                    << "3";

    const QByteArray longValue(300, 'x');
    QTest::newRow("300 characters") << QByteArray("[Last]\nMotdLine=" + longValue + "@\n") << "Last"
                                    << "MotdLine" << QString::fromLatin1(longValue + "@");
    QTest::newRow("byte-order mark") << QByteArray("\xEF\xBB\xBF[Last]\nA=1\n") << "Last"
                                     << "A"
                                     << "1";
    QTest::newRow("only one byte-order mark dropped")
        << QByteArray("\xEF\xBB\xBF\xEF\xBB\xBF[Last]\nA=1\n") << "Last"
        << "A"
        << "";
    QTest::newRow("UTF-8 value") << QByteArray("[Last]\nA=Z\xc3\xbcrich\n") << "Last"
                                 << "A"
                                 << "Z\u00fcrich";
}

void TestLastSettings::reader()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, expected);
    QCOMPARE(LastSettingsFile(file).GetFromINI(section, key), expected);
}

void TestLastSettings::junkGivesAResult_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("expected");

    QTest::newRow("NUL in a value") << QByteArray("[Last]\nA=a\0b\n", 13) << QString::fromUtf16(u"a\0b", 3);
    QTest::newRow("NUL in a key") << QByteArray("[Last]\nB\0=1\nA=2\n", 16) << "2";
    QTest::newRow("invalid UTF-8") << QByteArray("[Last]\nA=\xff\xfe\xc3(\n") << "\ufffd\ufffd\ufffd(";
    QTest::newRow("unclosed section") << QByteArray("[Last\nA=1\n") << "";
    QTest::newRow("10 MB line") << QByteArray("[Last]\nJunk=" + QByteArray(10 * 1024 * 1024, 'j') + "\nA=ok")
                                << "ok";
    QTest::newRow("only line breaks") << QByteArray(1000, '\r') << "";
    QTest::newRow("empty") << QByteArray() << "";
}

void TestLastSettings::junkGivesAResult()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, expected);
    QCOMPARE(LastSettingsFile(file).GetFromINI(QStringLiteral("Last"), QStringLiteral("A")), expected);
}

void TestLastSettings::load_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("error");

    const auto row = [](const char *what, LoadedLastSettings::State state, const QString &error = {}) {
        QTest::newRow(what) << QString::fromLatin1(what) << int(state) << error;
    };
    using State = LoadedLastSettings::State;
    row("regular file", State::Read);
    row("link to a regular file", State::Read);
    row("missing", State::Missing);
    row("dangling link", State::Missing);
    row("folder", State::Unusable, QStringLiteral("it is a folder"));
    row("FIFO", State::Unusable, QStringLiteral("it is not a regular file"));
    row("link to /dev/zero", State::Unusable, QStringLiteral("it is not a regular file"));
    row("larger than the limit", State::Unusable, QStringLiteral("it is larger than 64 MiB"));
    // A regular file whose reading fails, even for root.
    row("read error", State::Unusable, qt_error_string(EIO));
    row("no read permission", State::Unusable, qt_error_string(EACCES));
}

void TestLastSettings::load()
{
    QFETCH(QString, what);
    QFETCH(int, state);
    QFETCH(QString, error);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(kLastSettingsFileName);
    const QString elsewhere = dir.filePath(QStringLiteral("elsewhere.ini"));
    const QByteArray content = "[Last]\r\nServerName=From disk\r\n";
    const auto write = [&content](const QString &to) {
        QFile file(to);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    };

    if (what == u"regular file") {
        QVERIFY(write(path));
    } else if (what == u"link to a regular file") {
        QVERIFY(write(elsewhere) && QFile::link(elsewhere, path));
    } else if (what == u"dangling link") {
        QVERIFY(QFile::link(elsewhere, path));
    } else if (what == u"folder") {
        QVERIFY(QDir(dir.path()).mkdir(kLastSettingsFileName));
    } else if (what == u"FIFO") {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (what == u"link to /dev/zero") {
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), path));
    } else if (what == u"larger than the limit") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(kMaxLastSettingsFileSize + 1));
    } else if (what == u"read error") {
        QVERIFY(QFile::link(QStringLiteral("/proc/self/mem"), path));
    } else if (what == u"no read permission") {
        if (::geteuid() == 0)
            QSKIP("root reads every file");
        QVERIFY(write(path) && QFile::setPermissions(path, QFile::WriteOwner));
    }

    const LoadedLastSettings loaded = LastSettingsFile::load(path);
    QCOMPARE(int(loaded.state), state);
    QCOMPARE(loaded.error,
             error.isEmpty() ? QString() : QStringLiteral("Could not read orbelithsrv.ini: ") + error);
    QCOMPARE(loaded.file.GetFromINI(QStringLiteral("Last"), QStringLiteral("ServerName")),
             state == int(LoadedLastSettings::State::Read) ? QStringLiteral("From disk") : QString());
}

void TestLastSettings::roundTrip_data()
{
    QTest::addColumn<ServerSettings>("saved");

    ServerSettings defaults;
    QTest::newRow("starting values") << defaults;

    ServerSettings every;
    every.serverName = QStringLiteral("  Quill = mere  ");
    every.location = QStringLiteral("\tBerlin ");
    every.url = QStringLiteral("http://example.org/?a=b&c=d");
    every.maxUsers = QStringLiteral("many");
    every.port = QStringLiteral(" 1234");
    every.isPublic = false;
    every.floodMsgNb = QStringLiteral("=");
    every.floodMsgTime = QStringLiteral(";5");
    every.minPing = QString();
    every.maxConnSet = 5;
    every.motd = QStringLiteral("first\r\n\r\n  third  \r\n");
    QTest::newRow("every field changed") << every;

    ServerSettings longMotd;
    longMotd.maxConnSet = 6;
    longMotd.motd = QString(300, u'x');
    QTest::newRow("300-character message") << longMotd;

    ServerSettings unicode;
    unicode.serverName = QStringLiteral("Zürich 北京");
    unicode.motd = QStringLiteral("ß\r\n€");
    QTest::newRow("non-ASCII") << unicode;

    ServerSettings at;
    at.motd = QStringLiteral("Questions: admin@example.com\r\n100% @fun@\r\n");
    QTest::newRow("@ and % inside lines") << at;
}

void TestLastSettings::roundTrip()
{
    QFETCH(ServerSettings, saved);
    ServerSettings restored;
    restored.serverName = QStringLiteral("something else");
    restored.isPublic = !saved.isPublic;
    restored.maxConnSet = 3;
    restored.motd = QStringLiteral("other");
    restored.ip = QStringLiteral("198.51.100.1");

    RestoreLastSettings(LastSettingsFile(WriteLastSettings(saved)), restored);

    ServerSettings expected = saved;
    expected.ip = QStringLiteral("198.51.100.1"); // never stored, never restored
    QCOMPARE(restored.serverName, expected.serverName);
    QCOMPARE(restored.motd, expected.motd);
    QCOMPARE(restored.maxConnSet, expected.maxConnSet);
    QVERIFY(restored == expected);
}

void TestLastSettings::restoreSetsOrKeeps_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<ServerSettings>("before");
    QTest::addColumn<ServerSettings>("expected");

    // Every row starts from Lan, the fourth connection setting and a message
    // of its own, unless it says otherwise.
    ServerSettings lan;
    lan.isPublic = false;
    lan.maxConnSet = 3;
    lan.motd = QStringLiteral("kept");
    ServerSettings internet = lan;
    internet.isPublic = true;

    const QByteArray texts = "[Last]\nServerName=S\nLocation=L\nURL=U\nMaxUsers=M\nPort=P\nMinPing=I\n"
                             "FloodMsgTime=T\nFloodMsgNb=N\n";
    // What the text lines above do to a setting.
    const auto texted = [](ServerSettings s) {
        s.serverName = "S", s.location = "L", s.url = "U", s.maxUsers = "M", s.port = "P";
        s.minPing = "I", s.floodMsgTime = "T", s.floodMsgNb = "N";
        return s;
    };
    const auto changed = [&texted](ServerSettings s, auto change) {
        change(s);
        return texted(s);
    };

    QTest::newRow("MaxConnSet=1, Public=0")
        << texts + "MaxConnSet=1\nPublic=0\n"
        << internet << changed(lan, [](ServerSettings &s) { s.maxConnSet = 1; });
    QTest::newRow("Public=1 selects Internet") << texts + "Public=1\n" << lan << texted(internet);
    QTest::newRow("Public= 1.0 selects Internet") << texts + "Public= 1.0\n" << lan << texted(internet);
    for (const char *other : {"0", "2", "-1"})
        QTest::addRow("Public=%s selects Lan", other) << texts + "Public=" + other + "\n"
                                                      << internet << texted(lan);
    for (const char *bad : {"", "yes"})
        QTest::addRow("Public=%s keeps the network type", bad) << texts + "Public=" + bad + "\n"
                                                               << internet << texted(internet);
    QTest::newRow("MaxConnSet=6") << texts + "MaxConnSet=6\n"
                                  << lan << changed(lan, [](ServerSettings &s) { s.maxConnSet = 6; });
    for (const char *bad : {"", "x", "7", "-1", "3.5", "99999999999"})
        QTest::addRow("MaxConnSet=%s keeps the setting", bad) << texts + "MaxConnSet=" + bad + "\n"
                                                              << lan << texted(lan);
    QTest::newRow("MaxConnSet=6<NUL>x keeps the setting")
        << texts + QByteArray("MaxConnSet=6\0x\n", 15) << lan << texted(lan);
    QTest::newRow("MaxConnSet and Public missing keep") << texts << lan << texted(lan);
    QTest::newRow("MotdLine missing keeps the message") << texts << lan << texted(lan);
    QTest::newRow("MotdLine empty keeps the message") << texts + "MotdLine=\n" << lan << texted(lan);
    QTest::newRow("MotdLine decoded")
        << texts + "MotdLine=a@b@@\n"
        << lan << changed(lan, [](ServerSettings &s) { s.motd = "a\r\nb\r\n"; });
    QTest::newRow("MotdText keeps an @ inside a line")
        << texts + "MotdLine=Questions: admin@example.com@Have fun@\nMotdText=Questions: "
                   "admin%40example.com@Have fun@\n"
        << lan
        << changed(lan, [](ServerSettings &s) { s.motd = "Questions: admin@example.com\r\nHave fun"; });
    // Another program rewrote the message, or wrote nonsense there.
    for (const char *exact : {"Questions: admin%40example.com@", "a%4b@", "a%40b"})
        QTest::addRow("MotdText=%s against MotdLine=a@b@", exact)
            << texts + "MotdLine=a@b@\nMotdText=" + exact + "\n"
            << lan << changed(lan, [](ServerSettings &s) { s.motd = "a\r\nb"; });

    ServerSettings emptied = lan;
    emptied.serverName = emptied.location = emptied.url = emptied.maxUsers = emptied.port = QString();
    emptied.minPing = emptied.floodMsgTime = emptied.floodMsgNb = QString();
    QTest::newRow("missing text keys empty their boxes") << QByteArray("[Last]\n") << lan << emptied;
    QTest::newRow("the IP is never restored") << texts + "IP=203.0.113.5\n" << lan << texted(lan);
}

void TestLastSettings::restoreSetsOrKeeps()
{
    QFETCH(QByteArray, file);
    QFETCH(ServerSettings, before);
    QFETCH(ServerSettings, expected);

    ServerSettings settings = before;
    RestoreLastSettings(LastSettingsFile(file), settings);
    QCOMPARE(settings.isPublic, expected.isPublic);
    QCOMPARE(settings.maxConnSet, expected.maxConnSet);
    QCOMPARE(settings.motd, expected.motd);
    QCOMPARE(settings.serverName, expected.serverName);
    QVERIFY(settings == expected);
}

QTEST_GUILESS_MAIN(TestLastSettings)
#include "tst_lastsettings.moc"
