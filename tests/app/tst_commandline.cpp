// The command line and the folder the program works in, without a window: the
// parsing, Qt's own options, folder names no terminal should see as they are
// or that are not UTF-8, and the folder remembered in the user's
// configuration (a private XDG_CONFIG_HOME and HOME for each test).
// tst_serverfolder runs the program itself.
#include "commandline.h"
#include "serverfolder.h"

#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <sys/stat.h>
#include <unistd.h>

using namespace testfiles;
using namespace Qt::Literals::StringLiterals;

Q_DECLARE_METATYPE(CommandLine::Folder)

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void parse_data();
    void parse();
    void badFolderEndsWithOneLine_data();
    void badFolderEndsWithOneLine();
    void folderKeepsItsBytes_data();
    void folderKeepsItsBytes();
    void chooseFolderStartsInTheLastOne();
    void rememberingFailsWithTheFileNamed();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_previousDir;
    QByteArray m_previousConfig;
    QByteArray m_previousHome;
};

void TestCommandLine::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    for (const char *sub : {"home", "config", "start", "server"})
        QVERIFY(QDir(m_dir->path()).mkdir(QString::fromLatin1(sub)));
    m_previousConfig = qgetenv("XDG_CONFIG_HOME");
    m_previousHome = qgetenv("HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(path(QStringLiteral("config"))));
    qputenv("HOME", QFile::encodeName(path(QStringLiteral("home"))));
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(path(QStringLiteral("start"))));
}

void TestCommandLine::cleanup()
{
    QDir::setCurrent(m_previousDir);
    qputenv("XDG_CONFIG_HOME", m_previousConfig);
    qputenv("HOME", m_previousHome);
    m_dir.reset();
}

void TestCommandLine::parse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitStatus"); // -1: the program goes on
    QTest::addColumn<CommandLine::Folder>("folder");
    QTest::addColumn<QString>("givenFolder");
    QTest::addColumn<QString>("messageHas");

    using F = CommandLine::Folder;
    const QString usage = QStringLiteral("Usage: orbelith-gui [options] [FOLDER]");
    const QString tryHelp = QStringLiteral("Try 'orbelith-gui --help' for more information.");
    QTest::newRow("nothing") << QStringList{} << -1 << F::Current << QString() << QString();
    QTest::newRow("a folder") << QStringList{"/srv/orbelith"} << -1 << F::Given << "/srv/orbelith"
                              << QString();
    QTest::newRow("a folder named like an option, after --")
        << QStringList{"--", "--version"} << -1 << F::Given << "--version" << QString();
    QTest::newRow("--choose-folder") << QStringList{"--choose-folder"} << -1 << F::Choose << QString()
                                     << QString();
    QTest::newRow("--last-folder") << QStringList{"--last-folder"} << -1 << F::LastChosen << QString()
                                   << QString();
    QTest::newRow("--help") << QStringList{"--help"} << 0 << F::Current << QString() << usage;
    QTest::newRow("-h") << QStringList{"-h"} << 0 << F::Current << QString() << usage;
    QTest::newRow("--help wins over a mistake")
        << QStringList{"a", "b", "--help"} << 0 << F::Current << QString() << usage;
    QTest::newRow("--version") << QStringList{"--version"} << 0 << F::Current << QString()
                               << "orbelith-gui " ORBELITH_VERSION "\n";
    QTest::newRow("unknown long option") << QStringList{"--verbose"} << 2 << F::Current << QString()
                                         << "orbelith-gui: Unknown option 'verbose'.\n" + tryHelp;
    QTest::newRow("Qt's --help-all is not ours")
        << QStringList{"--help-all"} << 2 << F::Current << QString() << tryHelp;
    QTest::newRow("two folders") << QStringList{"a", "b"} << 2 << F::Current << QString()
                                 << "one FOLDER at most";
    QTest::newRow("a folder and the picker")
        << QStringList{"a", "--choose-folder"} << 2 << F::Current << QString() << "not more than one";
    QTest::newRow("the picker and the last folder") << QStringList{"--choose-folder", "--last-folder"} << 2
                                                    << F::Current << QString() << "not more than one";
    QTest::newRow("two scripts") << QStringList{"--start", "--stop"} << 2 << F::Current << QString()
                                 << "not more than one";
    QTest::newRow("a script and the picker")
        << QStringList{"--stop", "--choose-folder"} << 2 << F::Current << QString() << "take a FOLDER";
    // Qt's own options are Qt's, whatever this program takes.
    QTest::newRow("an X11 session manager's -session")
        << QStringList{"-session", "10d1e2f3a4b5c6"} << -1 << F::Current << QString() << QString();
    QTest::newRow("-platform and a folder") << QStringList{"-platform", "offscreen", "/srv/orbelith"} << -1
                                            << F::Given << "/srv/orbelith" << QString();
    QTest::newRow("-style") << QStringList{"-style", "fusion"} << -1 << F::Current << QString() << QString();
    QTest::newRow("-style=") << QStringList{"-style=fusion"} << -1 << F::Current << QString() << QString();
    QTest::newRow("-display") << QStringList{"-display", ":0", "-reverse"} << -1 << F::Current << QString()
                              << QString();
    QTest::newRow("-platform xcb:display=")
        << QStringList{"-platform", "xcb:display=:1"} << -1 << F::Current << QString() << QString();
    QTest::newRow("-stylesheet") << QStringList{"-stylesheet", "dark.qss"} << -1 << F::Current << QString()
                                 << QString();
    QTest::newRow("Qt's options leave ours unknown")
        << QStringList{"-session", "x", "-verbose"} << 2 << F::Current << QString()
        << "orbelith-gui: Unknown option 'verbose'.\n" + tryHelp;
}

void TestCommandLine::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitStatus);
    QFETCH(CommandLine::Folder, folder);
    QFETCH(QString, givenFolder);
    QFETCH(QString, messageHas);

    arguments.prepend(QStringLiteral("/usr/bin/orbelith-gui"));
    const CommandLine line = parseCommandLine(arguments);
    QCOMPARE(line.exitStatus.value_or(-1), exitStatus);
    QCOMPARE(line.folder, folder);
    QCOMPARE(line.givenFolder, givenFolder);
    // Told where to draw, the program looks for no display of its own.
    QCOMPARE(line.displayGiven, arguments.contains(u"-platform"_s) || arguments.contains(u"-display"_s));
    if (messageHas.isEmpty())
        QCOMPARE(line.message, QString());
    else
        QVERIFY2(line.message.contains(messageHas), qPrintable(line.message));
    if (exitStatus >= 0)
        QVERIFY(line.message.endsWith(u'\n'));
}

void TestCommandLine::badFolderEndsWithOneLine_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("expected");

    QTest::newRow("empty") << QString() << QStringLiteral("cannot work in the folder '': it does not exist");
    // A name can carry a line break or a terminal's escape sequence: the
    // message stays one line and shows neither.
    QTest::newRow("control characters")
        << QStringLiteral("a\nb\x1b[2Jc")
        << QStringLiteral("cannot work in the folder 'a?b?[2Jc': it does not exist");
}

void TestCommandLine::badFolderEndsWithOneLine()
{
    QFETCH(QString, folder);
    QFETCH(QString, expected);
    const QString before = QDir::currentPath();

    const StartFolder start =
        enterStartFolder(parseCommandLine({QStringLiteral("orbelith-gui"), "--", folder}));
    QCOMPARE(start.exitStatus.value_or(-1), 2);
    QCOMPARE(start.message, QStringLiteral("orbelith-gui: ") + expected + u'\n');
    QVERIFY(!start.choose);
    QCOMPARE(QDir::currentPath(), before);
}

void TestCommandLine::folderKeepsItsBytes_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("exists");

    QTest::newRow("Latin-1") << QByteArray("caf\xe9") << true;
    QTest::newRow("UTF-8") << QByteArray("\xce\x95\xce\xbb\xce\xbb\xce\xac\xce\xb4\xce\xb1") << true;
    QTest::newRow("a stray continuation byte") << QByteArray("a\x80") << true;
    QTest::newRow("an overlong slash") << QByteArray("\xc0\xaf") << true;
    // The UTF-8 form of U+DC80 is not UTF-8, and not the escape of a byte.
    QTest::newRow("an encoded surrogate") << QByteArray("\xed\xb2\x80") << true;
    QTest::newRow("U+10080, then a stray byte") << QByteArray("\xf0\x90\x82\x80\x80") << true;
    QTest::newRow("missing") << QByteArray("caf\xe9") << false;
}

void TestCommandLine::folderKeepsItsBytes()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, exists);
    const QByteArray folder = QFile::encodeName(path(QStringLiteral("server"))) + '/' + name;
    if (exists)
        QCOMPARE(::mkdir(folder.constData(), 0700), 0);

    QByteArray program("orbelith-gui");
    QByteArray argument = folder;
    char *argv[] = {program.data(), argument.data(), nullptr};
    const StartFolder start = enterStartFolder(2, argv);
    char cwd[4096];
    QVERIFY(::getcwd(cwd, sizeof cwd));
    if (exists) {
        QVERIFY2(!start.exitStatus, qPrintable(start.message));
        QCOMPARE(QByteArray(cwd), folder);
    } else {
        QCOMPARE(start.exitStatus.value_or(-1), 2);
        QCOMPARE(start.message, QStringLiteral("orbelith-gui: cannot work in the folder '%1/caf\uFFFD': it "
                                               "does not exist\n")
                                    .arg(path(QStringLiteral("server"))));
        QCOMPARE(QByteArray(cwd), QFile::encodeName(path(QStringLiteral("start"))));
    }
}

void TestCommandLine::chooseFolderStartsInTheLastOne()
{
    StartFolder start = enterStartFolder(parseCommandLine({"orbelith-gui", "--choose-folder"}));
    QVERIFY(start.choose);
    QCOMPARE(start.chooseFrom, path(QStringLiteral("start")));
    QCOMPARE(start.notice, QString());

    QVERIFY(rememberChosenFolder(path(QStringLiteral("server"))).ok());
    start = enterStartFolder(parseCommandLine({"orbelith-gui", "--choose-folder"}));
    QVERIFY(start.choose);
    QCOMPARE(start.chooseFrom, path(QStringLiteral("server")));
    // Nothing is entered before the operator chooses.
    QCOMPARE(QDir::currentPath(), path(QStringLiteral("start")));
}

void TestCommandLine::rememberingFailsWithTheFileNamed()
{
    // The configuration folder cannot be made where a file is in the way.
    QVERIFY(writeFile(path(QStringLiteral("config/orbelith-gui")), "in the way"));
    const Result remembered = rememberChosenFolder(path(QStringLiteral("server")));
    QVERIFY(!remembered.ok());
    QVERIFY2(remembered.errorMessage().contains(lastChosenFolderFile()),
             qPrintable(remembered.errorMessage()));
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
