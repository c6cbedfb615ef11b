// --start, --stop and --status of the shipped program, as a script runs them:
// without a display, against the stand-in, in a network namespace of the
// test's own (the local IP address is 127.0.0.1). The files --start writes
// are compared with those the window writes after restoring the same
// orbelithsrv.ini; the folders' names are not UTF-8 (each is reached through
// a link of a plain name, since QProcess passes only text).
#include "processes.h"

#include "configfiles.h"
#include "form1.h"
#include "logline.h"
#include "recordingcontrol.h"
#include "scriptcommands.h"
#include "testfiles.h"

#include <QAbstractButton>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <utility>

#include <sys/stat.h>
#include <sys/wait.h>

using namespace Qt::Literals::StringLiterals;
using namespace testfiles;
using namespace testprocesses;

namespace {

struct Run
{
    int exitStatus = -1;
    QString output;
    QString errors;
};

} // namespace

class TestScriptCommands : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startStatusStopAsTheWindowWould();
    void stopReturnsOnlyAfterTheKill();
    void failureSaysWhyOnStandardError();
    void twoStartsAtOnceLaunchOne();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    // A folder named in bytes that are not UTF-8, and a link to it by name.
    QString makeFolder(const QString &link);
    Run run(const QStringList &arguments, const QString &program = QStringLiteral(GUI_PROGRAM));
    // What the window's status line says after start-up in the folder, and
    // after Start there, which writes the files.
    std::pair<QString, QString> startInWindow(const QString &folder);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_previousDir;
    QByteArrayList m_madeFolders;
};

void TestScriptCommands::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_previousDir = QDir::currentPath();
}

void TestScriptCommands::cleanup()
{
    QDir::setCurrent(m_previousDir);
    for (const QString &folder : QDir(m_dir->path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        killServersIn(path(folder));
    // QDir cannot remove what it cannot name.
    for (const QByteArray &folder : std::as_const(m_madeFolders))
        ::rename(folder.constData(), QByteArray(folder).replace('\xe9', 'e').constData());
    m_madeFolders.clear();
    m_dir.reset();
}

QString TestScriptCommands::makeFolder(const QString &link)
{
    const QByteArray name = QFile::encodeName(link) + " caf\xe9";
    const QByteArray folder = QFile::encodeName(m_dir->path()) + '/' + name;
    if (::mkdir(folder.constData(), 0700) != 0)
        return {};
    m_madeFolders.append(folder);
    if (::symlink(name.constData(), QFile::encodeName(path(link)).constData()) != 0)
        return {};
    return path(link);
}

Run TestScriptCommands::run(const QStringList &arguments, const QString &program)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), QString::fromLocal8Bit(process.readAllStandardOutput()),
            QString::fromLocal8Bit(process.readAllStandardError())};
}

std::pair<QString, QString> TestScriptCommands::startInWindow(const QString &folder)
{
    if (!QDir::setCurrent(folder))
        return {};
    RecordingControl::Log log;
    Form1 window(std::make_unique<RecordingControl>(log));
    const auto *status = window.findChild<QLabel *>(QStringLiteral("Label4"));
    window.Form_Load();
    const QString loaded = status->text();
    window.findChild<QAbstractButton *>(QStringLiteral("Command1"))->click();
    QDir::setCurrent(m_previousDir);
    return {loaded, status->text()};
}

void TestScriptCommands::startStatusStopAsTheWindowWould()
{
    const QString script = makeFolder(QStringLiteral("script"));
    const QString window = makeFolder(QStringLiteral("window"));
    QVERIFY(!script.isEmpty() && !window.isEmpty());
    // What the restore keeps, cuts, turns into a line break, or leaves as it was.
    const QByteArray ini = "[Last]\r\nServerName=" + QByteArray(70000, 'x') +
                           "\r\nLocation=a\xc2\xa0"
                           "b\r\n" +
                           "Port=" + QByteArray::number(freeLoopbackPort()) +
                           "\r\nPublic=0\r\nMaxConnSet=4\r\nMotdLine=one@two\xe2\x80\xa9three@\r\n";
    for (const QString &folder : {script, window})
        QVERIFY(writeFile(QDir(folder).filePath(kLastSettingsFileName), ini));
    const QString shown = startInWindow(window).first;
    QVERIFY2(shown.startsWith(QStringLiteral("ServerName in orbelithsrv.ini is too long")),
             qPrintable(shown));

    // Another folder's server, which no command here may touch.
    const QString other = path(QStringLiteral("other"));
    QVERIFY(QDir().mkdir(other));
    ServerSettings otherSettings;
    otherSettings.ip = QStringLiteral("127.0.0.1");
    otherSettings.port = QString::number(freeLoopbackPort());
    QVERIFY(writeFile(QDir(other).filePath(kServerConfigFileName), WriteServerConfig(otherSettings)));
    const pid_t otherServer = startIn(other, {QStringLiteral(STANDIN_DIR "/orbelithsrv")});
    const auto endOther = qScopeGuard([otherServer] { endChild(otherServer); });
    QVERIFY(QTest::qWaitFor([&] { return serversIn(other).size() == 1; }, 10000));

    Run r = run({QStringLiteral("--start"), script});
    QCOMPARE(r.errors, QStringLiteral("orbelith-gui: ") + shown + u'\n');
    QCOMPARE(r.exitStatus, 0);
    const std::set<pid_t> servers = serversIn(script);
    QCOMPARE(servers.size(), size_t(1));
    const pid_t server = *servers.begin();
    QCOMPARE(r.output, QStringLiteral("Orbelith Server started.... (PID %1)\n").arg(server));
    for (const QString &file : {kServerConfigFileName, kLastSettingsFileName})
        QCOMPARE(readFile(QDir(script).filePath(file)), readFile(QDir(window).filePath(file)));
    // Outliving the command, in a session of its own, writing into its log.
    QCOMPARE(::getsid(server), server);
    QVERIFY(procLink(server, "fd/1").endsWith(QStringLiteral("/orbelith-gui-server.log")));

    r = run({QStringLiteral("--status"), script});
    QCOMPARE(r.output, QStringLiteral("Orbelith Server is running (PID %1)\n").arg(server));
    QCOMPARE(r.exitStatus, 0);
    const QByteArray config = readFile(QDir(script).filePath(kServerConfigFileName));
    QVERIFY(writeFile(QDir(script).filePath(kLastSettingsFileName), "[Last]\r\nServerName=changed\r\n"));
    r = run({QStringLiteral("--start"), script});
    QCOMPARE(r.output, QStringLiteral("Orbelith Server is already running (PID %1)\n").arg(server));
    QCOMPARE(r.exitStatus, 0);
    QCOMPARE(readFile(QDir(script).filePath(kServerConfigFileName)), config);

    r = run({QStringLiteral("--stop"), script});
    QCOMPARE(r.output, QStringLiteral("Orbelith Server stopped\n"));
    QCOMPARE(r.exitStatus, 0);
    QCOMPARE(serversIn(script), std::set<pid_t>());
    QCOMPARE(serversIn(other).size(), size_t(1));
    for (const char *command : {"--stop", "--status"}) {
        r = run({QString::fromLatin1(command), script});
        QCOMPARE(r.output, QStringLiteral("Orbelith Server is not running\n"));
        QCOMPARE(r.exitStatus, command == QByteArray("--stop") ? 0 : 3);
    }
}

void TestScriptCommands::stopReturnsOnlyAfterTheKill()
{
    const QString folder = path(QStringLiteral("stubborn"));
    QVERIFY(QDir().mkdir(folder));
    const pid_t server = startIn(folder, {QStringLiteral(STUBBORN_DIR "/orbelithsrv")});
    QVERIFY(QTest::qWaitFor(
        [&] { return QFile::exists(QDir(folder).filePath(QStringLiteral("stubborn.ready"))); }, 10000));

    const Run r = run({QStringLiteral("--stop"), folder});
    QCOMPARE(r.output, QStringLiteral("Orbelith Server stopped\n"));
    QCOMPARE(r.exitStatus, 0);
    // Already killed when the command returned.
    int status = 0;
    QCOMPARE(::waitpid(server, &status, WNOHANG), server);
    QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

void TestScriptCommands::failureSaysWhyOnStandardError()
{
    // The program alone in a folder: no server beside it, in the folder or on PATH.
    const QString lonely = path(QStringLiteral("lonely"));
    const QString program = QDir(lonely).filePath(QStringLiteral("orbelith-gui"));
    const QString folder = makeFolder(QStringLiteral("server"));
    QVERIFY(QDir().mkdir(lonely) && !folder.isEmpty());
    QVERIFY(QFile::copy(QStringLiteral(GUI_PROGRAM), program));
    const auto restorePath = qScopeGuard([path = qgetenv("PATH")] { qputenv("PATH", path); });
    qputenv("PATH", QFile::encodeName(lonely));
    Run r = run({QStringLiteral("--start"), folder}, program);
    QCOMPARE(r.errors,
             QStringLiteral("orbelith-gui: Server program orbelithsrv not found in %1, %2 or PATH.\n")
                 .arg(QDir(lonely).canonicalPath(), QDir(folder).canonicalPath()));
    QCOMPARE(r.exitStatus, 1);
    QCOMPARE(r.output, QString());
    // Found in the folder, whose name is not UTF-8, once it is there.
    QVERIFY(QFile::copy(QStringLiteral(STANDIN_DIR "/orbelithsrv"), QDir(folder).filePath(u"orbelithsrv"_s)));
    QCOMPARE(run({QStringLiteral("--start"), folder}, program).exitStatus, 0);
    QCOMPARE(serversIn(folder).size(), size_t(1));

    // A folder where the configuration goes: the window's words.
    const QString unwritable = path(QStringLiteral("unwritable"));
    QVERIFY(QDir().mkpath(QDir(unwritable).filePath(kServerConfigFileName)));
    r = run({QStringLiteral("--start"), unwritable});
    QCOMPARE(r.errors, QStringLiteral("orbelith-gui: ") + startInWindow(unwritable).second + u'\n');
    QCOMPARE(r.exitStatus, 1);
    QCOMPARE(serversIn(unwritable), std::set<pid_t>());

    // A Stop that can ask nothing to end, and a status that cannot be told.
    RecordingControl::Log log;
    log.running = {SearchAnswer::Outcome::Running, 5, std::nullopt};
    log.stopProblem = ControlProblem(ControlProblem::Kind::StopNotStarted, {}, {}, u"no room"_s);
    QCOMPARE(runScriptCommand(CommandLine::Script::Stop, std::make_unique<RecordingControl>(log)).exitStatus,
             1);
    log.running = {SearchAnswer::Outcome::Unknown, 0,
                   ControlProblem(ControlProblem::Kind::ProcessListUnreadable)};
    const ScriptOutcome unknown =
        runScriptCommand(CommandLine::Script::Status, std::make_unique<RecordingControl>(log));
    QCOMPARE(unknown.exitStatus, 4);
    QVERIFY2(unknown.errors.contains(u"(/proc) is not readable"_s), qPrintable(unknown.errors));
    QCOMPARE(run({QStringLiteral("--status"), path(QStringLiteral("nonexistent"))}).exitStatus, 4);
}

void TestScriptCommands::twoStartsAtOnceLaunchOne()
{
    // Two cron jobs meeting: each round, two --start at the same moment in
    // one folder. The server says which round it is in its log.
    const QString folder = path(QStringLiteral("race"));
    const QString lonely = path(QStringLiteral("lonely"));
    const QString program = QDir(lonely).filePath(QStringLiteral("orbelith-gui"));
    QVERIFY(QDir().mkdir(folder) && QDir().mkdir(lonely));
    QVERIFY(QFile::copy(QStringLiteral(GUI_PROGRAM), program));
    // The stand-in beside it, reached by a name that needs no quoting.
    QVERIFY(QDir(folder).mkdir(u"standin"_s) && QFile::copy(QStringLiteral(STANDIN_DIR "/orbelithsrv"),
                                                            QDir(folder).filePath(u"standin/orbelithsrv"_s)));
    QVERIFY(writeFile(QDir(folder).filePath(u"orbelithsrv"_s),
                      "#!/bin/sh\necho \"round $(cat round)\"\nexec ./standin/orbelithsrv\n"));
    QVERIFY(
        QFile::setPermissions(QDir(folder).filePath(u"orbelithsrv"_s), QFile::ReadOwner | QFile::ExeOwner));
    const QString log = QDir(folder).filePath(kServerLogFileName);
    for (int round = 1; round <= 5; ++round) {
        QVERIFY(writeFile(QDir(folder).filePath(u"round"_s), QByteArray::number(round)));
        QProcess first, second;
        for (QProcess *p : {&first, &second})
            p->start(program, {QStringLiteral("--start"), folder});
        QVERIFY(first.waitForFinished(30000) && second.waitForFinished(30000));
        QCOMPARE(first.exitCode(), 0);
        QCOMPARE(second.exitCode(), 0);
        // The launched script becomes the server once it has run.
        QVERIFY(QTest::qWaitFor([&] { return !serversIn(folder).empty(); }, 10000));
        const std::set<pid_t> servers = serversIn(folder);
        QCOMPARE(servers.size(), size_t(1));
        const QString pid = QString::number(*servers.begin());
        QStringList outputs{QString::fromLocal8Bit(first.readAllStandardOutput()),
                            QString::fromLocal8Bit(second.readAllStandardOutput())};
        outputs.sort();
        QCOMPARE(outputs, (QStringList{u"Orbelith Server is already running (PID "_s + pid + u")\n"_s,
                                       u"Orbelith Server started.... (PID "_s + pid + u")\n"_s}));
        // No run's log is lost: this one's in the log, the one before kept.
        QVERIFY(QTest::qWaitFor([&] { return readFile(log) == "round " + QByteArray::number(round) + '\n'; },
                                10000));
        if (round > 1)
            QCOMPARE(readFile(log + u".1"_s), "round " + QByteArray::number(round - 1) + '\n');
        QCOMPARE(serversIn(folder), servers);
        QCOMPARE(run({QStringLiteral("--stop"), folder}, program).exitStatus, 0);
    }
}

QTEST_MAIN(TestScriptCommands)
#include "tst_scriptcommands.moc"
