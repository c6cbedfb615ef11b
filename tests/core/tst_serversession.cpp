#include "serversession.h"

#include "configfiles.h"
#include "recordingcontrol.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace testfiles;
using State = ServerSession::State;

// What a Start, a Stop, an Exit and a search do and say, against a control
// that records what is asked of the system.
class TestServerSession : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startWritesFilesAndRuns();
    void startWithUnwritableFileStaysStopped();
    void startWithoutServerProgramStaysStopped();
    void startFindsServerAlreadyRunning();
    void stopReturnsToStopped();
    void failedStopKeepsRunning();
    void serverStateReportsMissingOpener();
    void exitEndsOnlyWhatStartLaunched_data();
    void exitEndsOnlyWhatStartLaunched();
    void startWithoutLogSaysWhy();
    void serverEndingByItselfShowsWhy_data();
    void serverEndingByItselfShowsWhy();
    void endingDuringStopIsNoSurprise();
    void searchFindsRunningServer_data();
    void searchFindsRunningServer();
    void searchAnsweredLateChangesNothing();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_previousDir;
    RecordingControl::Log m_log;
    RecordingControl *m_control = nullptr;
    std::unique_ptr<ServerSession> m_session;
};

void TestServerSession::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    m_log = RecordingControl::Log{};
    auto control = std::make_unique<RecordingControl>(m_log);
    m_control = control.get();
    m_session = std::make_unique<ServerSession>(std::move(control));
}

void TestServerSession::cleanup()
{
    m_session.reset();
    QDir::setCurrent(m_previousDir);
    m_dir.reset();
}

void TestServerSession::startWritesFilesAndRuns()
{
    ServerSettings settings;
    settings.ip = QStringLiteral("192.0.2.10");
    m_log.launchResult.pid = 4321;
    const ServerSession::StartOutcome started = m_session->start(settings);
    QCOMPARE(started.kind, ServerSession::StartOutcome::Kind::Started);
    QCOMPARE(started.pid, 4321);
    QCOMPARE(m_log.searches, 1);
    QCOMPARE(m_log.launches, 1);
    QCOMPARE(readFile(kServerConfigFileName).size(), 197);
    QCOMPARE(readFile(kLastSettingsFileName).size(), 165);
    QCOMPARE(m_session->state(), State::Running);
    QVERIFY(m_session->launchedHere());
    QCOMPARE(m_session->status(), QStringLiteral("Orbelith Server started...."));
}

void TestServerSession::startWithUnwritableFileStaysStopped()
{
    QVERIFY(writeFile(kServerConfigFileName, "old"));
    QVERIFY(QDir().mkdir(kLastSettingsFileName));
    m_session->start(ServerSettings{});
    QCOMPARE(m_log.launches, 0);
    QCOMPARE(readFile(kServerConfigFileName), QByteArray("old"));
    QCOMPARE(m_session->state(), State::Stopped);
    QVERIFY2(m_session->status().startsWith(QStringLiteral("Could not write orbelithsrv.ini: ")),
             qPrintable(m_session->status()));
}

void TestServerSession::startWithoutServerProgramStaysStopped()
{
    ControlProblem missing(ControlProblem::Kind::ProgramNotFound, QStringLiteral("orbelithsrv"));
    missing.folders = QStringList{QStringLiteral("/a"), QStringLiteral("/b"), QStringLiteral("/a/")};
    m_log.launchResult = LaunchResult::failed(missing);
    m_session->start(ServerSettings{});
    QCOMPARE(m_log.launches, 1);
    QVERIFY(QFile::exists(kServerConfigFileName));
    QVERIFY(QFile::exists(kLastSettingsFileName));
    QCOMPARE(m_session->state(), State::Stopped);
    QCOMPARE(m_session->status(), QStringLiteral("Server program orbelithsrv not found in /a, /b or PATH."));
}

void TestServerSession::startFindsServerAlreadyRunning()
{
    // A script started one meanwhile: Start launches nothing and watches it.
    m_log.running = {SearchAnswer::Outcome::Running, 77, std::nullopt};
    const ServerSession::StartOutcome started = m_session->start(ServerSettings{});
    QCOMPARE(started.kind, ServerSession::StartOutcome::Kind::AlreadyRunning);
    QCOMPARE(m_log.launches, 0);
    QVERIFY(!QFile::exists(kServerConfigFileName));
    QCOMPARE(m_session->state(), State::Running);
    QCOMPARE(m_session->status(), QStringLiteral("Orbelith Server is already running (PID 77)"));
    // When it cannot be told, nothing is started either.
    m_session->exit();
    m_log.running = {SearchAnswer::Outcome::Unknown, 0,
                     ControlProblem(ControlProblem::Kind::ProcessListUnreadable)};
    ServerSession other(std::make_unique<RecordingControl>(m_log));
    QCOMPARE(other.start(ServerSettings{}).kind, ServerSession::StartOutcome::Kind::Refused);
    QCOMPARE(m_log.launches, 0);
    QCOMPARE(other.status(),
             QStringLiteral("Cannot tell whether Orbelith Server is already running here: the "
                            "process list (/proc) is not readable. Nothing was started."));
}

void TestServerSession::stopReturnsToStopped()
{
    m_session->start(ServerSettings{});
    QCOMPARE(m_session->stop().kind, ServerSession::StopOutcome::Kind::Stopping);
    QCOMPARE(m_log.stops, 1);
    // Nothing can be started until every server has ended.
    QCOMPARE(m_session->status(), QStringLiteral("Stopping Orbelith Server..."));
    QCOMPARE(m_session->state(), State::Stopping);
    QCOMPARE(m_session->start(ServerSettings{}).kind, ServerSession::StartOutcome::Kind::Refused);
    m_control->finishStop();
    QCOMPARE(m_session->state(), State::Stopped);
    QCOMPARE(m_session->status(), QStringLiteral("Orbelith Server stopped"));
}

void TestServerSession::failedStopKeepsRunning()
{
    m_session->start(ServerSettings{});
    m_log.stopProblem =
        ControlProblem(ControlProblem::Kind::StopNotStarted, {}, {}, QStringLiteral("no room"));
    QCOMPARE(m_session->stop().kind, ServerSession::StopOutcome::Kind::Refused);
    QCOMPARE(m_session->state(), State::Running);
    QCOMPARE(m_session->status(),
             QStringLiteral("Cannot stop the server: what ends it after the grace period cannot be "
                            "started (no room). Nothing was asked to end."));
}

void TestServerSession::serverStateReportsMissingOpener()
{
    m_session->start(ServerSettings{});
    m_log.openProblem = ControlProblem(ControlProblem::Kind::OpenerNotStarted, QStringLiteral("http://x:1"),
                                       QStringLiteral("xdg-open"));
    m_session->openServerPage(QStringLiteral("http://x:1"));
    QCOMPARE(m_log.openedUrls, QStringList{QStringLiteral("http://x:1")});
    QCOMPARE(m_session->status(),
             QStringLiteral("Could not open http://x:1: no web browser opener (xdg-open) could be started."));
    QCOMPARE(m_session->state(), State::Running);
}

void TestServerSession::exitEndsOnlyWhatStartLaunched_data()
{
    QTest::addColumn<bool>("launched");
    QTest::addColumn<bool>("stoppedFirst");
    QTest::addColumn<int>("stops");
    QTest::newRow("launched by Start") << true << false << 1;
    QTest::newRow("launched, then stopped") << true << true << 1;
    // An operator who opens the window to look leaves the server running.
    QTest::newRow("found running") << false << false << 0;
}

void TestServerSession::exitEndsOnlyWhatStartLaunched()
{
    QFETCH(bool, launched);
    QFETCH(bool, stoppedFirst);
    QFETCH(int, stops);
    if (launched)
        m_session->start(ServerSettings{});
    else {
        m_log.running = {SearchAnswer::Outcome::Running, 42, std::nullopt};
        m_session->search();
        QCOMPARE(m_session->state(), State::Running);
        QVERIFY(!m_session->launchedHere());
    }
    if (stoppedFirst) {
        m_session->stop();
        m_control->finishStop();
    }
    m_session->exit();
    m_session->exit();
    QCOMPARE(m_log.stops, stops);
    QCOMPARE(m_session->state(), State::Exiting);
}

void TestServerSession::startWithoutLogSaysWhy()
{
    m_log.launchResult.log = {LogNote::Kind::NoLog, QStringLiteral("Is a directory"), {}};
    m_session->start(ServerSettings{});
    QCOMPARE(m_session->state(), State::Running);
    QCOMPARE(m_session->status(), QStringLiteral("Orbelith Server started.... (no log: Is a directory)"));
    m_session->stop();
    m_control->finishStop();
    m_log.launchResult.log = {LogNote::Kind::PreviousIsFolder, {}, {}};
    m_session->start(ServerSettings{});
    QCOMPARE(m_session->status(), QStringLiteral("Orbelith Server started.... (log not rotated: "
                                                 "orbelith-gui-server.log.1 is a folder; this run is added "
                                                 "to orbelith-gui-server.log)"));
}

void TestServerSession::serverEndingByItselfShowsWhy_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("signalName");
    QTest::addColumn<QString>("lastLine");
    QTest::addColumn<QString>("expected");

    const int exited = int(ServerExit::Kind::Exited);
    const int signalled = int(ServerExit::Kind::Signalled);
    const int unknown = int(ServerExit::Kind::Unknown);
    QTest::newRow("exit code and last line")
        << exited << 3 << QString() << QStringLiteral("bind 127.0.0.1:27888: Address in use")
        << QStringLiteral("Orbelith Server exited with code 3: bind 127.0.0.1:27888: Address in use");
    QTest::newRow("clean exit, nothing written")
        << exited << 0 << QString() << QString() << QStringLiteral("Orbelith Server exited with code 0");
    QTest::newRow("signal") << signalled << 9 << QStringLiteral("Killed") << QStringLiteral("saving")
                            << QStringLiteral("Orbelith Server was ended by signal 9 (Killed): saving");
    QTest::newRow("adopted, status unknown")
        << unknown << 0 << QString() << QString() << QStringLiteral("Orbelith Server ended");
    // Shown as the server wrote it.
    QTest::newRow("markup in the last line")
        << exited << 1 << QString() << QStringLiteral("error: <b>bad</b> value, expected &lt;= 64")
        << QStringLiteral("Orbelith Server exited with code 1: error: <b>bad</b> value, expected &lt;= 64");
}

void TestServerSession::serverEndingByItselfShowsWhy()
{
    QFETCH(int, kind);
    QFETCH(int, code);
    QFETCH(QString, signalName);
    QFETCH(QString, lastLine);
    QFETCH(QString, expected);

    QSignalSpy ended(m_session.get(), &ServerSession::serverEndedByItself);
    m_session->start(ServerSettings{});
    m_control->endServer({ServerExit::Kind(kind), code, signalName, lastLine});
    QCOMPARE(m_session->status(), expected);
    QCOMPARE(ended.size(), 1);
    QCOMPARE(m_session->state(), State::Stopped);
    // Nothing is left to stop at exit.
    m_session->exit();
    QCOMPARE(m_log.stops, 0);
}

void TestServerSession::endingDuringStopIsNoSurprise()
{
    QSignalSpy ended(m_session.get(), &ServerSession::serverEndedByItself);
    m_session->start(ServerSettings{});
    m_session->stop();
    m_control->endServer({ServerExit::Kind::Signalled, 15, QStringLiteral("Terminated"), QString()});
    QCOMPARE(m_session->status(), QStringLiteral("Stopping Orbelith Server..."));
    QCOMPARE(m_session->state(), State::Stopping);
    m_control->finishStop();
    QCOMPARE(m_session->status(), QStringLiteral("Orbelith Server stopped"));
    // A late report of a finished stop changes nothing.
    m_session->start(ServerSettings{});
    m_control->finishStop();
    QCOMPARE(m_session->state(), State::Running);
    QCOMPARE(m_session->status(), QStringLiteral("Orbelith Server started...."));
    QCOMPARE(ended.size(), 0);
}

void TestServerSession::searchFindsRunningServer_data()
{
    QTest::addColumn<SearchAnswer>("answer");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("expected");
    QTest::newRow("a server in the folder")
        << SearchAnswer{SearchAnswer::Outcome::Running, 4242, std::nullopt} << int(State::Running)
        << QStringLiteral("Orbelith Server is already running (PID 4242)");
    QTest::newRow("none") << SearchAnswer{} << int(State::Stopped) << QString();
    QTest::newRow("cannot tell")
        << SearchAnswer{SearchAnswer::Outcome::Unknown, 0,
                        ControlProblem(ControlProblem::Kind::FolderUnreadable, {}, {},
                                       QStringLiteral("gone"))}
        << int(State::Stopped)
        << QStringLiteral("Cannot tell whether Orbelith Server is running: the current folder cannot be read "
                          "(gone).");
}

void TestServerSession::searchFindsRunningServer()
{
    QFETCH(SearchAnswer, answer);
    QFETCH(int, state);
    QFETCH(QString, expected);

    m_log.answerLater = true;
    m_session->search();
    QCOMPARE(m_session->state(), State::Searching);
    // Nothing may start beside the server the search is about to find.
    QCOMPARE(m_session->start(ServerSettings{}).kind, ServerSession::StartOutcome::Kind::Refused);
    m_control->answerSearch(answer);
    QCOMPARE(m_log.searches, 1);
    QCOMPARE(int(m_session->state()), state);
    QCOMPARE(m_session->status(), expected);
    QVERIFY(!m_session->launchedHere());
}

void TestServerSession::searchAnsweredLateChangesNothing()
{
    m_log.answerLater = true;
    m_session->search();
    m_session->exit();
    m_control->answerSearch({SearchAnswer::Outcome::Running, 78, std::nullopt});
    QCOMPARE(m_session->state(), State::Exiting);
    QCOMPARE(m_session->status(), QString());
    QCOMPARE(m_log.stops, 0);
}

QTEST_GUILESS_MAIN(TestServerSession)
#include "tst_serversession.moc"
