#include "sessionplatform.h"

#include <QProcessEnvironment>
#include <QTest>

class TestSessionPlatform : public QObject
{
    Q_OBJECT

private slots:
    void platformForSession_data();
    void platformForSession();
    void commandLineGetsThePlatform();
};

void TestSessionPlatform::platformForSession_data()
{
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QByteArray>("platform");
    const QStringList waylandWithX{"XDG_SESSION_TYPE=wayland", "WAYLAND_DISPLAY=wayland-0", "DISPLAY=:0"};
    QTest::newRow("Wayland with Xwayland") << waylandWithX << QByteArray("xcb");
    QTest::newRow("an empty choice is none")
        << (waylandWithX + QStringList{"QT_QPA_PLATFORM="}) << QByteArray("xcb");
    QTest::newRow("the user's choice wins")
        << (waylandWithX + QStringList{"QT_QPA_PLATFORM=wayland"}) << QByteArray();
    QTest::newRow("Wayland without Xwayland")
        << QStringList{"XDG_SESSION_TYPE=wayland", "WAYLAND_DISPLAY=wayland-0"} << QByteArray();
    QTest::newRow("X11") << QStringList{"XDG_SESSION_TYPE=x11", "DISPLAY=:0"} << QByteArray();
    QTest::newRow("no session type") << QStringList{"WAYLAND_DISPLAY=wayland-0", "DISPLAY=:0"}
                                     << QByteArray();
}

void TestSessionPlatform::platformForSession()
{
    QFETCH(QStringList, environment);
    QFETCH(QByteArray, platform);
    QProcessEnvironment env;
    for (const QString &e : environment)
        env.insert(e.section(u'=', 0, 0), e.section(u'=', 1));
    QCOMPARE(::platformForSession(env), platform);
}

void TestSessionPlatform::commandLineGetsThePlatform()
{
    qunsetenv("QT_QPA_PLATFORM");
    qputenv("XDG_SESSION_TYPE", "wayland");
    qputenv("DISPLAY", ":9");
    char program[] = "orbelith-gui";
    char folder[] = "--folder";
    char *given[] = {program, folder, nullptr};
    int argc = 2;
    char **argv = given;
    preferXwaylandOnWayland(argc, argv);
    QCOMPARE(argc, 4);
    QCOMPARE(QByteArray(argv[1]), QByteArray("--folder"));
    QCOMPARE(QByteArray(argv[2]), QByteArray("-platform"));
    QCOMPARE(QByteArray(argv[3]), QByteArray("xcb"));
    QCOMPARE(argv[4], nullptr);
    // Left alone where the user chose.
    qputenv("QT_QPA_PLATFORM", "wayland");
    argc = 2;
    argv = given;
    preferXwaylandOnWayland(argc, argv);
    QCOMPARE(argc, 2);
    QCOMPARE(argv, given);
}

QTEST_GUILESS_MAIN(TestSessionPlatform)
#include "tst_sessionplatform.moc"
