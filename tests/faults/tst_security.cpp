// What a hostile value or a hostile directory could make the program do: run
// a shell, follow a planted link, or hand out files to other users. The real
// window against the real stand-in, in a network namespace of the test's own.
#include "processes.h"

#include "configfiles.h"
#include "form1.h"
#include "localaddress.h"
#include "testfiles.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

using namespace testprocesses;
using namespace std::chrono_literals;

using namespace testfiles;

namespace {

// A plain HTTP/1.0 GET; the body, or nothing while no server answers.
QByteArray httpGet(const QString &address, quint16 port, const QByteArray &path)
{
    QTcpSocket socket;
    socket.connectToHost(address, port);
    if (!socket.waitForConnected(1000))
        return {};
    socket.write("GET " + path + " HTTP/1.0\r\nHost: " + address.toLatin1() + "\r\n\r\n");
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(3000)) {
    }
    const QByteArray reply = socket.readAll();
    const qsizetype body = reply.indexOf("\r\n\r\n");
    return reply.startsWith("HTTP/1.1 200") && body > 0 ? reply.mid(body + 4) : QByteArray();
}

} // namespace

class TestSecurity : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void fieldsReachNoShell_data();
    void fieldsReachNoShell();
    void addressFieldsReachNoShell();
    void standinListensOnlyOnConfiguredAddress();
    void filesFollowTheUmask_data();
    void filesFollowTheUmask();
    void plantedLinksAreNotFollowed_data();
    void plantedLinksAreNotFollowed();

private:
    template <typename T = QWidget> T *child(const char *name)
    {
        return m_form->findChild<T *>(QString::fromLatin1(name));
    }
    void click(const char *name) { QTest::mouseClick(child<QAbstractButton>(name), Qt::LeftButton); }
    QString status() { return child<QLabel>("Label4")->text(); }
    // The window, with the stand-in as its server, or with no server at all.
    void createForm(bool withServer);
    QByteArray waitForPage(const QString &address, const QByteArray &path);
    // Every file a payload asked a shell to create, wherever it would be.
    QStringList createdMarkers() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_run;
    QString m_bin;
    QString m_previousDir;
    QByteArray m_previousPath;
    quint16 m_port = 0;
    std::unique_ptr<Form1> m_form;
};

void TestSecurity::initTestCase()
{
    QCOMPARE(localIpAddress(), QStringLiteral("127.0.0.1"));
}

void TestSecurity::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    for (const char *sub : {"bin", "run", "empty", "markers", "outside"})
        QVERIFY(QDir(m_dir->path()).mkdir(QString::fromLatin1(sub)));
    m_bin = m_dir->filePath(QStringLiteral("bin"));
    m_run = m_dir->filePath(QStringLiteral("run"));
    QVERIFY(writeRecordingOpener(m_bin));
    m_previousPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(m_bin));
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_run));
    m_port = freeLoopbackPort();
    QVERIFY(m_port);
}

void TestSecurity::cleanup()
{
    m_form.reset();
    killServersIn(m_run);
    qputenv("PATH", m_previousPath);
    QDir::setCurrent(m_previousDir);
    m_dir.reset();
}

void TestSecurity::createForm(bool withServer)
{
    if (withServer)
        QVERIFY(
            QFile::link(QStringLiteral(STANDIN_DIR "/orbelithsrv"), m_bin + QStringLiteral("/orbelithsrv")));
    m_form =
        std::make_unique<Form1>(std::make_unique<PosixServerControl>(PosixServerControl::Options{m_bin, 1s}));
    m_form->Form_Load();
    child<QLineEdit>("Text1(4)")->setText(QString::number(m_port));
}

QByteArray TestSecurity::waitForPage(const QString &address, const QByteArray &path)
{
    QByteArray page;
    (void)QTest::qWaitFor(
        [&] {
            page = httpGet(address, m_port, path);
            return !page.isEmpty();
        },
        10000);
    return page;
}

QStringList TestSecurity::createdMarkers() const
{
    QStringList found = entries(m_dir->filePath(QStringLiteral("markers")));
    for (const QString &dir : {m_run, m_bin, m_dir->path(), QDir::homePath()}) {
        for (const QString &name : entries(dir)) {
            if (name.startsWith(QStringLiteral("pwned")))
                found << QDir(dir).filePath(name);
        }
    }
    return found;
}

void TestSecurity::fieldsReachNoShell_data()
{
    // %1 is a file that only a shell running the value would create.
    QTest::addColumn<QString>("payload");
    QTest::newRow("command substitution") << QStringLiteral("$(touch %1)");
    QTest::newRow("backticks") << QStringLiteral("`touch %1`");
    QTest::newRow("semicolon") << QStringLiteral("; touch %1");
    QTest::newRow("single quotes") << QStringLiteral("x' ; touch %1 ; 'y");
    QTest::newRow("double quotes") << QStringLiteral("x\" ; touch %1 ; \"y");
    QTest::newRow("pipe and background") << QStringLiteral("| touch %1 &");
    QTest::newRow("and, comment") << QStringLiteral("&& touch %1 #");
    QTest::newRow("redirection") << QStringLiteral("> %1");
    QTest::newRow("IFS, backslashes") << QStringLiteral("\\${IFS}touch${IFS}%1\\");
}

void TestSecurity::fieldsReachNoShell()
{
    QFETCH(QString, payload);
    createForm(true);
    const QString markers = m_dir->filePath(QStringLiteral("markers"));
    // The IP address and the port must stay usable for the server to answer;
    // addressFieldsReachNoShell covers them.
    const QList<QPair<const char *, const char *>> fields = {
        {"Text1(0)", "ServerName"}, {"Text1(1)", "Location"}, {"Text1(2)", "URL"},
        {"Text1(3)", "MaxUsers"},   {"Text4", "FloodMsgNb"},  {"Text3", "FloodMsgTime"},
        {"Text1(8)", "MinPing"},
    };
    QHash<QString, QString> values;
    for (const auto &[control, key] : fields) {
        // Relative markers land in the server's directory, absolute ones anywhere.
        const QString value = payload.arg(markers + u'/' + QString::fromLatin1(key)) + u' ' +
                              payload.arg(QStringLiteral("pwned-") + QString::fromLatin1(key));
        child<QLineEdit>(control)->setText(value);
        values.insert(QString::fromLatin1(key), value);
    }
    const QStringList motd = {payload.arg(markers + QStringLiteral("/motd")),
                              payload.arg(QStringLiteral("pwned"))};
    child<QPlainTextEdit>("Text2")->setPlainText(motd.join(u'\n'));

    click("Command1");
    QCOMPARE(status(), QStringLiteral("Orbelith Server started...."));
    const QJsonObject json =
        QJsonDocument::fromJson(waitForPage(QStringLiteral("127.0.0.1"), "/status.json")).object();
    QVERIFY(!json.isEmpty());
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        QCOMPARE(json.value(it.key()).toString(), it.value());
    QCOMPARE(json.value(QStringLiteral("MotdLines")).toArray(), QJsonArray::fromStringList(motd));

    // Server State hands the browser opener its address as one argument.
    child<QLineEdit>("Text1(4)")
        ->setText(QString::number(m_port) + payload.arg(markers + QStringLiteral("/url")));
    click("Command5");
    QFile log(m_bin + QStringLiteral("/xdg-open.log"));
    QVERIFY(QTest::qWaitFor([&log] { return log.size() > 0; }, 5000));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(log.readAll()),
             QStringLiteral("http://127.0.0.1:") + child<QLineEdit>("Text1(4)")->text() + u'\n');

    click("command2");
    QVERIFY(waitForServersGone(m_run));
    QCOMPARE(createdMarkers(), QStringList());
}

void TestSecurity::addressFieldsReachNoShell()
{
    createForm(true);
    const QString markers = m_dir->filePath(QStringLiteral("markers"));
    const QString ip = QStringLiteral("127.0.0.1$(touch %1/ip)").arg(markers);
    const QString port = QStringLiteral("%1; touch %2/port").arg(m_port).arg(markers);
    child<QLineEdit>("Text1(5)")->setText(ip);
    child<QLineEdit>("Text1(4)")->setText(port);
    click("Command1");

    // The server refuses such an address and ends; the values reach its file
    // as they were typed.
    QVERIFY(waitForServersGone(m_run));
    const QByteArray config = readFile(kServerConfigFileName);
    QVERIFY2(config.contains("\r\nIP=" + ip.toUtf8() + "\r\n"), config.constData());
    QVERIFY2(config.contains("\r\nPort=" + port.toUtf8() + "\r\n"), config.constData());
    click("command2");
    QCOMPARE(createdMarkers(), QStringList());
}

void TestSecurity::standinListensOnlyOnConfiguredAddress()
{
    createForm(true);
    child<QLineEdit>("Text1(5)")->setText(QStringLiteral("127.0.0.2"));
    child<QLineEdit>("Text1(0)")->setText(QStringLiteral("Second address"));
    click("Command1");
    QVERIFY(waitForPage(QStringLiteral("127.0.0.2"), "/").contains("Second address"));

    QTcpSocket other;
    other.connectToHost(QStringLiteral("127.0.0.1"), m_port);
    QVERIFY(!other.waitForConnected(3000));
    QCOMPARE(other.error(), QAbstractSocket::ConnectionRefusedError);
    click("command2");
    QVERIFY(waitForServersGone(m_run));
}

void TestSecurity::filesFollowTheUmask_data()
{
    QTest::addColumn<int>("umask");
    QTest::addColumn<int>("existingMode"); // -1: no older file
    QTest::addColumn<int>("expectedMode");

    QTest::newRow("new, umask 077") << 077 << -1 << 0600;
    QTest::newRow("new, umask 022") << 022 << -1 << 0644;
    QTest::newRow("new, umask 027") << 027 << -1 << 0640;
    QTest::newRow("new, umask 002") << 002 << -1 << 0664;
    // A replaced file keeps the mode it had, whatever the umask.
    QTest::newRow("existing 0600, umask 022") << 022 << 0600 << 0600;
    QTest::newRow("existing 0640, umask 002") << 002 << 0640 << 0640;
    QTest::newRow("existing 0666, umask 077") << 077 << 0666 << 0666;
}

void TestSecurity::filesFollowTheUmask()
{
    QFETCH(int, umask);
    QFETCH(int, existingMode);
    QFETCH(int, expectedMode);

    const QStringList files = {kServerConfigFileName, kLastSettingsFileName};
    if (existingMode >= 0) {
        for (const QString &file : files) {
            QVERIFY(writeFile(file, "older"));
            QCOMPARE(::chmod(QFile::encodeName(file).constData(), mode_t(existingMode)), 0);
        }
    }
    // No server: Start writes both files before it looks for one.
    createForm(false);
    const mode_t previous = ::umask(mode_t(umask));
    click("Command1");
    ::umask(previous);
    QVERIFY2(status().contains(QStringLiteral("not found")), qPrintable(status()));
    for (const QString &file : files) {
        struct stat st
        {
        };
        QCOMPARE(::lstat(QFile::encodeName(file).constData(), &st), 0);
        QVERIFY(S_ISREG(st.st_mode));
        QCOMPARE(QString::number(st.st_mode & 07777, 8), QString::number(expectedMode, 8));
        QVERIFY(readFile(file) != "older");
    }
}

void TestSecurity::plantedLinksAreNotFollowed_data()
{
    QTest::addColumn<bool>("olderFiles");
    // Without older files the new ones are linked straight into place; with
    // them each goes through a temporary name first.
    QTest::newRow("no older files") << false;
    QTest::newRow("older files") << true;
}

void TestSecurity::plantedLinksAreNotFollowed()
{
    QFETCH(bool, olderFiles);
    const QString outside = m_dir->filePath(QStringLiteral("outside"));
    const QString victim = outside + QStringLiteral("/victim");
    QVERIFY(writeFile(victim, "victim"));
    if (olderFiles) {
        QVERIFY(writeFile(kServerConfigFileName, "older"));
        QVERIFY(writeFile(kLastSettingsFileName, "older"));
    }

    // Links at every name a writer might take for its temporary file, half to
    // a file to overwrite, half to a name to create.
    QHash<QString, QString> planted;
    int n = 0;
    for (const QString &file : {kServerConfigFileName, kLastSettingsFileName}) {
        for (const QString &pattern :
             {QStringLiteral("%1.XXXXXX"), QStringLiteral("%1.tmp"), QStringLiteral("%1.new"),
              QStringLiteral("%1~"), QStringLiteral(".%1.swp"), QStringLiteral("%1.bak"),
              QStringLiteral("%1.part"), QStringLiteral("#%1#")}) {
            const QString target = (n++ % 2) ? victim : outside + QStringLiteral("/created-%1").arg(n);
            QVERIFY(QFile::link(target, pattern.arg(file)));
            planted.insert(pattern.arg(file), target);
        }
    }
    const QStringList before = entries(m_run);
    const QStringList outsideBefore = entries(outside);

    // Anything done through a link, even opening the victim, shows up here.
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(watch >= 0);
    const auto closeWatch = qScopeGuard([watch] { ::close(watch); });
    QVERIFY(::inotify_add_watch(watch, QFile::encodeName(outside).constData(), IN_ALL_EVENTS) >= 0);

    createForm(false);
    click("Command1");
    QVERIFY2(status().contains(QStringLiteral("not found")), qPrintable(status()));

    char events[4096];
    QCOMPARE(::read(watch, events, sizeof events), ssize_t(-1));
    QCOMPARE(errno, EAGAIN);
    QCOMPARE(readFile(victim), QByteArray("victim"));
    QCOMPARE(entries(outside), outsideBefore);
    for (auto it = planted.cbegin(); it != planted.cend(); ++it)
        QCOMPARE(QFile::symLinkTarget(it.key()), it.value());
    const ServerSettings settings = m_form->settingsFromControls();
    QVERIFY(!QFileInfo(kServerConfigFileName).isSymLink() && !QFileInfo(kLastSettingsFileName).isSymLink());
    QCOMPARE(readFile(kServerConfigFileName), WriteServerConfig(settings));
    QCOMPARE(readFile(kLastSettingsFileName), WriteLastSettings(settings));
    QStringList expected = before;
    if (!olderFiles)
        expected << kServerConfigFileName << kLastSettingsFileName;
    expected.sort();
    QCOMPARE(entries(m_run), expected);

    // The watch does see what happens to the victim.
    QVERIFY(writeFile(victim, "touched"));
    QVERIFY(::read(watch, events, sizeof events) > 0);
}

QTEST_MAIN(TestSecurity)
#include "tst_security.moc"
