// The folder the program works in, end to end: the shipped program run as a
// process (its command line, and which folder's orbelithsrv.ini its start-up
// opens, from the kernel's own account), the start-up that main runs with a
// FOLDER argument against the real stand-in server, and the folder picker of
// "Open a server folder..." with the folder it remembers. In a network
// namespace of the test's own, where the local IP address is 127.0.0.1.
#include "processes.h"

#include "commandline.h"
#include "configfiles.h"
#include "folderpicker.h"
#include "form1.h"
#include "serverfolder.h"
#include "startup.h"
#include "testfiles.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testfiles;
using namespace testprocesses;

namespace {

// The names of the files opened in one folder, as inotify reports them: what
// a program read, without asking the program.
class OpenedFiles final
{
    Q_DISABLE_COPY_MOVE(OpenedFiles)

public:
    explicit OpenedFiles(const QString &folder) : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        if (m_fd >= 0 && ::inotify_add_watch(m_fd, QFile::encodeName(folder).constData(), IN_OPEN) < 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~OpenedFiles()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool isValid() const { return m_fd >= 0; }

    bool contains(const QString &name)
    {
        alignas(inotify_event) char buffer[4096];
        ssize_t length;
        while ((length = ::read(m_fd, buffer, sizeof buffer)) > 0) {
            for (ssize_t at = 0; at < length;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
                if (event->len > 0)
                    m_names.append(QFile::decodeName(event->name));
                at += ssize_t(sizeof(inotify_event) + event->len);
            }
        }
        return m_names.contains(name);
    }

private:
    int m_fd;
    QStringList m_names;
};

} // namespace

class TestServerFolder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void programCommandLine_data();
    void programCommandLine();
    void programRestoresFromGivenFolder();
    void programLastFolderWithNoneChosenUsesTheHomeFolder();
    void givenFolderServesRestoreStartStopAndLog();
    void pickerEntersAndRemembersForTheMenusNextStart();
    void pickerTakesANameThatIsNotUtf8();
    void cancelledPickerEntersNothing();
    void goneFolderIsExplainedBeforeThePicker();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    QProcessEnvironment environment() const;
    // Starts the shipped program in a folder of the test's, offscreen.
    QProcess *startProgram(const QString &workingDirectory, const QStringList &arguments);
    void stopProgram();
    // Waits until the program's start-up has read orbelithsrv.ini in the folder.
    bool programReadsSettingsIn(const QString &folder, const QString &startedIn,
                                const QStringList &arguments);
    // Answers the next dialog of this type once it is shown.
    template <typename Dialog> void whenShown(std::function<void(Dialog *)> answer);
    static void choose(QFileDialog *dialog, const QString &folder);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_program;
    QString m_previousDir;
    QByteArray m_previousConfig;
    QByteArray m_previousHome;
    QByteArray m_previousPath;
};

void TestServerFolder::initTestCase()
{
    QVERIFY2(QFileInfo(QStringLiteral(GUI_PROGRAM)).isExecutable(), GUI_PROGRAM);
}

void TestServerFolder::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    for (const char *sub : {"home", "config", "start", "server", "bin"})
        QVERIFY(QDir(m_dir->path()).mkdir(QString::fromLatin1(sub)));
    m_previousConfig = qgetenv("XDG_CONFIG_HOME");
    m_previousHome = qgetenv("HOME");
    m_previousPath = qgetenv("PATH");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(path(QStringLiteral("config"))));
    qputenv("HOME", QFile::encodeName(path(QStringLiteral("home"))));
    // Server State's browser, should anything press it, only writes a file.
    QVERIFY(writeRecordingOpener(path(QStringLiteral("bin"))));
    qputenv("PATH", QFile::encodeName(path(QStringLiteral("bin"))) + ':' + m_previousPath);
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(path(QStringLiteral("start"))));
}

void TestServerFolder::cleanup()
{
    // Answers for dialogs that never came must not answer a later test's.
    qDeleteAll(findChildren<QTimer *>());
    stopProgram();
    for (const char *sub : {"start", "server", "home"})
        killServersIn(path(QString::fromLatin1(sub)));
    QDir::setCurrent(m_previousDir);
    qputenv("XDG_CONFIG_HOME", m_previousConfig);
    qputenv("HOME", m_previousHome);
    qputenv("PATH", m_previousPath);
    m_dir.reset();
}

QProcessEnvironment TestServerFolder::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral("config")));
    env.insert(QStringLiteral("HOME"), path(QStringLiteral("home")));
    return env;
}

void TestServerFolder::stopProgram()
{
    if (m_program) {
        m_program->kill();
        m_program->waitForFinished();
        m_program.reset();
    }
}

QProcess *TestServerFolder::startProgram(const QString &workingDirectory, const QStringList &arguments)
{
    stopProgram();
    m_program = std::make_unique<QProcess>();
    // Told on the command line where to draw, as Qt's options allow, with no display at all.
    QProcessEnvironment env = environment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    m_program->setProcessEnvironment(env);
    m_program->setWorkingDirectory(workingDirectory);
    m_program->setProcessChannelMode(QProcess::ForwardedChannels);
    m_program->start(QStringLiteral(GUI_PROGRAM), QStringList{"-platform", "offscreen"} + arguments);
    return m_program.get();
}

bool TestServerFolder::programReadsSettingsIn(const QString &folder, const QString &startedIn,
                                              const QStringList &arguments)
{
    ServerSettings settings;
    if (!writeFile(QDir(folder).filePath(kLastSettingsFileName), WriteLastSettings(settings)))
        return false;
    OpenedFiles opened(folder);
    if (!opened.isValid())
        return false;
    QProcess *program = startProgram(startedIn, arguments);
    const bool read = QTest::qWaitFor(
        [&] { return opened.contains(kLastSettingsFileName) || program->state() == QProcess::NotRunning; },
        20000);
    return read && program->state() == QProcess::Running && opened.contains(kLastSettingsFileName) &&
           procLink(pid_t(program->processId()), "cwd") == QDir(folder).canonicalPath();
}

template <typename Dialog> void TestServerFolder::whenShown(std::function<void(Dialog *)> answer)
{
    auto *poll = new QTimer(this);
    poll->setInterval(10);
    connect(poll, &QTimer::timeout, this, [poll, answer] {
        if (auto *dialog = qobject_cast<Dialog *>(QApplication::activeModalWidget())) {
            poll->deleteLater();
            poll->stop();
            answer(dialog);
        }
    });
    poll->start();
}

void TestServerFolder::choose(QFileDialog *dialog, const QString &folder)
{
    // As an operator does: go into the folder, then press Choose, with
    // nothing typed. QFileDialog's own accept, which checks the folder.
    dialog->setDirectory(folder);
    static_cast<QDialog *>(dialog)->accept();
}

void TestServerFolder::programCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitStatus");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("errors");

    const QString tryHelp = QStringLiteral("Try 'orbelith-gui --help' for more information.\n");
    QTest::newRow("--help") << QStringList{"--help"} << 0 << "Usage: orbelith-gui [options] [FOLDER]\n"
                            << QString();
    QTest::newRow("--version") << QStringList{"--version"} << 0 << "orbelith-gui " ORBELITH_VERSION "\n"
                               << QString();
    QTest::newRow("unknown option") << QStringList{"--frobnicate"} << 2 << QString()
                                    << "orbelith-gui: Unknown option 'frobnicate'.\n" + tryHelp;
    QTest::newRow("two folders") << QStringList{"server", "home"} << 2 << QString()
                                 << "orbelith-gui: one FOLDER at most, 2 given.\n" + tryHelp;
    QTest::newRow("missing folder")
        << QStringList{"no-such-folder"} << 2 << QString()
        << "orbelith-gui: cannot work in the folder 'no-such-folder': it does not "
           "exist\n";
    QTest::newRow("a file")
        << QStringList{"orbelithsrv.ini"} << 2 << QString()
        << "orbelith-gui: cannot work in the folder 'orbelithsrv.ini': it is not a folder\n";
}

void TestServerFolder::programCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitStatus);
    QFETCH(QString, output);
    QFETCH(QString, errors);
    QVERIFY(writeFile(path(QStringLiteral("orbelithsrv.ini")), "[Last]\r\n"));

    // No display at all: what needs none must not reach the window, which
    // would end with "no display found" and status 1.
    QProcess program;
    QProcessEnvironment env = environment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    program.setProcessEnvironment(env);
    program.setWorkingDirectory(m_dir->path());
    program.start(QStringLiteral(GUI_PROGRAM), arguments);
    QVERIFY(program.waitForFinished(20000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    const QString out = QString::fromLocal8Bit(program.readAllStandardOutput());
    const QString err = QString::fromLocal8Bit(program.readAllStandardError());
    QCOMPARE(program.exitCode(), exitStatus);
    QVERIFY2(output.isEmpty() ? out.isEmpty() : out.startsWith(output), qPrintable(out));
    QCOMPARE(err, errors);
}

void TestServerFolder::programRestoresFromGivenFolder()
{
    // The folder where it is started holds last settings of its own, which
    // must be left alone.
    QVERIFY(writeFile(path(QStringLiteral("start/orbelithsrv.ini")), "[Last]\r\n"));
    OpenedFiles openedWhereStarted(path(QStringLiteral("start")));
    QVERIFY(openedWhereStarted.isValid());

    QVERIFY(programReadsSettingsIn(path(QStringLiteral("server")), path(QStringLiteral("start")),
                                   {QStringLiteral("../server")}));
    QVERIFY(!openedWhereStarted.contains(kLastSettingsFileName));
}

void TestServerFolder::programLastFolderWithNoneChosenUsesTheHomeFolder()
{
    // The menu starts the program in the home folder.
    QVERIFY(programReadsSettingsIn(path(QStringLiteral("home")), path(QStringLiteral("home")),
                                   {QStringLiteral("--last-folder")}));
    QCOMPARE(entries(path(QStringLiteral("config"))), QStringList());
}

void TestServerFolder::givenFolderServesRestoreStartStopAndLog()
{
    const QString server = path(QStringLiteral("server"));
    const QString start = path(QStringLiteral("start"));
    ServerSettings restored;
    restored.serverName = QStringLiteral("Kept in the server's folder");
    restored.port = QString::number(freeLoopbackPort());
    QVERIFY(writeFile(QDir(server).filePath(kLastSettingsFileName), WriteLastSettings(restored)));
    ServerSettings elsewhere;
    elsewhere.serverName = QStringLiteral("Where it was started");
    QVERIFY(writeFile(QDir(start).filePath(kLastSettingsFileName), WriteLastSettings(elsewhere)));
    // A server of the folder where the program was started, which a Stop
    // in the server's folder must leave running.
    elsewhere.ip = QStringLiteral("127.0.0.1");
    elsewhere.port = QString::number(freeLoopbackPort());
    QVERIFY(writeFile(QDir(start).filePath(kServerConfigFileName), WriteServerConfig(elsewhere)));
    QProcess otherServer;
    otherServer.setWorkingDirectory(start);
    otherServer.start(QStringLiteral(STANDIN_DIR "/orbelithsrv"), {});
    QVERIFY(otherServer.waitForStarted());
    QVERIFY(QTest::qWaitFor([&] { return serversIn(start).size() == 1; }, 10000));

    // What main does, in its order.
    const StartFolder folder =
        enterStartFolder(parseCommandLine({QStringLiteral("orbelith-gui"), QStringLiteral("../server")}));
    QVERIFY(!folder.exitStatus);
    const std::unique_ptr<Form1> window = startMainWindow(*qobject_cast<QApplication *>(qApp));
    QCOMPARE(window->findChild<QLineEdit *>(QStringLiteral("Text1(0)"))->text(), restored.serverName);

    // Start waits for the search for a server already running here.
    auto *startButton = window->findChild<QAbstractButton *>(QStringLiteral("Command1"));
    QTRY_COMPARE(window->session().state(), ServerSession::State::Stopped);
    QVERIFY(startButton->isEnabled());
    QTest::mouseClick(startButton, Qt::LeftButton);
    QVERIFY(window->isServerRunning());
    QVERIFY(QTest::qWaitFor([&] { return !serversIn(server).empty(); }, 10000));
    QCOMPARE(readFile(QDir(server).filePath(kServerConfigFileName)),
             WriteServerConfig(window->settingsFromControls()));
    QVERIFY(QTest::qWaitFor(
        [&] { return QFile::exists(QDir(server).filePath(QStringLiteral("orbelith-gui-server.log"))); },
        10000));
    QCOMPARE(entries(start), (QStringList{kServerConfigFileName, kLastSettingsFileName}));
    QCOMPARE(readFile(QDir(start).filePath(kServerConfigFileName)), WriteServerConfig(elsewhere));

    QTest::mouseClick(window->findChild<QAbstractButton *>(QStringLiteral("command2")), Qt::LeftButton);
    QVERIFY(waitForServersGone(server));
    QVERIFY(QTest::qWaitFor([&] { return !window->isServerRunning(); }, 10000));
    QCOMPARE(serversIn(start).size(), size_t(1));
    QCOMPARE(otherServer.state(), QProcess::Running);
    otherServer.kill();
    QVERIFY(otherServer.waitForFinished());
}

void TestServerFolder::pickerEntersAndRemembersForTheMenusNextStart()
{
    const QString server = path(QStringLiteral("server"));
    bool picked = false;
    whenShown<QFileDialog>([&](QFileDialog *dialog) {
        picked = dialog->windowTitle() == QStringLiteral("Open a server folder");
        choose(dialog, server);
    });
    const StartFolder start = enterStartFolder(parseCommandLine({"orbelith-gui", "--choose-folder"}));
    QVERIFY(start.choose);
    QVERIFY(chooseServerFolder(start));
    QVERIFY(picked);
    QCOMPARE(QDir::currentPath(), server);
    QCOMPARE(lastChosenFolder(), server);
    // Remembered in the user's configuration, not in the server's folder.
    QCOMPARE(entries(server), QStringList());

    // The menu's plain entry, started in the home folder, goes there; a
    // start from a terminal stays where it was started.
    QVERIFY(programReadsSettingsIn(server, path(QStringLiteral("home")), {QStringLiteral("--last-folder")}));
    QVERIFY(programReadsSettingsIn(path(QStringLiteral("start")), path(QStringLiteral("start")), {}));
}

void TestServerFolder::pickerTakesANameThatIsNotUtf8()
{
    const QByteArray folder = QFile::encodeName(path(QStringLiteral("server"))) + "/caf\xe9";
    QCOMPARE(::mkdir(folder.constData(), 0700), 0);
    // The picker shows the byte as U+FFFD, and gives that back: as clicking the entry does, its name
    // as shown, then Choose.
    whenShown<QFileDialog>([&](QFileDialog *dialog) {
        dialog->setDirectory(path(QStringLiteral("server")));
        dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(QFile::decodeName("caf\xe9"));
        static_cast<QDialog *>(dialog)->accept();
    });
    QVERIFY(chooseServerFolder(enterStartFolder(parseCommandLine({"orbelith-gui", "--choose-folder"}))));
    char cwd[4096];
    QCOMPARE(QByteArray(::getcwd(cwd, sizeof cwd)), folder);
    // Remembered by its bytes: the menu's next start, a process of its own, works there.
    const auto pid =
        startProgram(path(QStringLiteral("home")), {QStringLiteral("--last-folder")})->processId();
    const QByteArray link = "/proc/" + QByteArray::number(pid) + "/cwd";
    QTRY_COMPARE(QByteArray(cwd, qMax(::readlink(link.constData(), cwd, sizeof cwd), ssize_t(0))), folder);
}

void TestServerFolder::cancelledPickerEntersNothing()
{
    whenShown<QFileDialog>([](QFileDialog *dialog) { dialog->reject(); });
    QVERIFY(!chooseServerFolder(enterStartFolder(parseCommandLine({"orbelith-gui", "--choose-folder"}))));
    QCOMPARE(QDir::currentPath(), path(QStringLiteral("start")));
    QCOMPARE(lastChosenFolder(), QString());
}

void TestServerFolder::goneFolderIsExplainedBeforeThePicker()
{
    const QString gone = path(QStringLiteral("server/moved away"));
    QVERIFY(QDir().mkpath(gone));
    QVERIFY(rememberChosenFolder(gone).ok());
    QVERIFY(QDir(gone).removeRecursively());

    QString notice;
    bool pickerAfterNotice = false;
    whenShown<QMessageBox>([&](QMessageBox *box) {
        notice = box->text();
        box->accept();
    });
    whenShown<QFileDialog>([&](QFileDialog *dialog) {
        pickerAfterNotice = !notice.isEmpty();
        choose(dialog, path(QStringLiteral("server")));
    });
    QVERIFY(chooseServerFolder(enterStartFolder(parseCommandLine({"orbelith-gui", "--last-folder"}))));
    QVERIFY2(notice.contains(gone) && notice.contains(QStringLiteral("does not exist")), qPrintable(notice));
    QVERIFY(pickerAfterNotice);
    QCOMPARE(QDir::currentPath(), path(QStringLiteral("server")));
    QCOMPARE(lastChosenFolder(), path(QStringLiteral("server")));
}

QTEST_MAIN(TestServerFolder)
#include "tst_serverfolder.moc"
