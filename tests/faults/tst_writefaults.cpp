// Start when the new files cannot be written: the disk fills up while they
// are written, writing is refused, a file cannot be put in place, or another
// user planted a link at a file's name. The older files must stay as they
// were, no server may start, and the window must stay Stopped and say why.
// Each case needs its wrapper or root (see CMakeLists.txt) and is skipped
// without it.
#include "processes.h"

#include "configfiles.h"
#include "form1.h"
#include "testfiles.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <grp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

using namespace testprocesses;
using namespace std::chrono_literals;

using namespace testfiles;

namespace {

const QByteArray kOlderConfig = "ServerName=Older\r\nPort=1\r\nIP=127.0.0.1\r\nAllowWebAccess=1";
const QByteArray kOlderLastSettings = "[Last]\r\nServerName=Older\r\n";

qint64 freeBytes(const QString &dir)
{
    struct statvfs st
    {
    };
    if (::statvfs(QFile::encodeName(dir).constData(), &st) != 0)
        return -1;
    return qint64(st.f_bavail) * qint64(st.f_frsize);
}

QString serverDir()
{
    const QByteArray fromWrapper = qgetenv("ORBELITH_FAULT_SERVER_DIR");
    return fromWrapper.isEmpty() ? QStringLiteral(STUBBORN_DIR) : QFile::decodeName(fromWrapper);
}

} // namespace

class TestWriteFaults : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void diskFull_data();
    void diskFull();
    void refusedWrite_data();
    void refusedWrite();
    void fileCannotBePutInPlace_data();
    void fileCannotBePutInPlace();
    void linkAtFinalName_data();
    void linkAtFinalName();
    void linkPlantedDuringTheWrite();

private:
    template <typename T = QWidget> T *child(const char *name)
    {
        return m_form->findChild<T *>(QString::fromLatin1(name));
    }
    void click(const char *name) { QTest::mouseClick(child<QAbstractButton>(name), Qt::LeftButton); }

    // A new window with a real control, pointed at a server that stays up
    // until killed, presses Start with a changed name: any launch shows.
    void pressStartInNewWindow();
    // Start, in the current directory, fails on failingFile for reason:
    // nothing is launched, the window stays Stopped, no temporary file is left.
    void startFailsOn(const QString &failingFile, const QString &reason);
    // The same, and the older files, if any, are as they were.
    void startFailsLeavingAllAsItWas(const QString &failingFile, const QString &reason, bool olderFiles);
    // Once the fault is lifted, the same window starts and stops a server.
    void startAndStopWork();

    QString m_previousDir;
    std::unique_ptr<Form1> m_form;
};

void TestWriteFaults::init()
{
    m_previousDir = QDir::currentPath();
}

void TestWriteFaults::cleanup()
{
    m_form.reset();
    killServersIn(QDir::currentPath());
    QDir::setCurrent(m_previousDir);
}

void TestWriteFaults::pressStartInNewWindow()
{
    m_form = std::make_unique<Form1>(
        std::make_unique<PosixServerControl>(PosixServerControl::Options{serverDir(), 1s}));
    m_form->Form_Load();
    m_form->show();
    child<QLineEdit>("Text1(0)")->setText(QStringLiteral("Newer"));
    click("Command1");
}

void TestWriteFaults::startFailsOn(const QString &failingFile, const QString &reason)
{
    const QString dir = QDir::currentPath();
    const QStringList before = entries(dir);
    // Had Start launched the server, it would still be running below.
    pressStartInNewWindow();

    const QString status = child<QLabel>("Label4")->text();
    QVERIFY2(status.startsWith(QStringLiteral("Could not write %1: ").arg(failingFile)), qPrintable(status));
    QVERIFY2(status.contains(reason, Qt::CaseInsensitive), qPrintable(status));
    QVERIFY(!m_form->isServerRunning());
    QVERIFY(child<QAbstractButton>("Command1")->isEnabled());
    QVERIFY(!child<QAbstractButton>("command2")->isEnabled());
    QVERIFY(serversIn(dir).empty());
    // Nor is a temporary file left behind.
    QCOMPARE(entries(dir), before);
}

void TestWriteFaults::startFailsLeavingAllAsItWas(const QString &failingFile, const QString &reason,
                                                  bool olderFiles)
{
    startFailsOn(failingFile, reason);
    if (olderFiles && !QTest::currentTestFailed()) {
        QCOMPARE(readFile(kServerConfigFileName), kOlderConfig);
        QCOMPARE(readFile(kLastSettingsFileName), kOlderLastSettings);
    }
}

void TestWriteFaults::startAndStopWork()
{
    QFile::remove(QStringLiteral("stubborn.ready"));
    click("Command1");
    QCOMPARE(child<QLabel>("Label4")->text(), QStringLiteral("Orbelith Server started...."));
    QVERIFY(m_form->isServerRunning());
    QCOMPARE(readFile(kServerConfigFileName), WriteServerConfig(m_form->settingsFromControls()));
    QVERIFY(QTest::qWaitFor([] { return QFile::exists(QStringLiteral("stubborn.ready")); }, 5000));
    QCOMPARE(serversIn(QDir::currentPath()).size(), size_t(1));
    click("command2");
    QTRY_VERIFY(!m_form->isServerRunning());
    QVERIFY(waitForServersGone(QDir::currentPath()));
    QTRY_COMPARE(zombieChildren(), QStringList());
}

void TestWriteFaults::diskFull_data()
{
    QTest::addColumn<int>("freePages");
    QTest::addColumn<QString>("failingFile");
    QTest::newRow("no room for either file") << 0 << kServerConfigFileName;
    // The configuration is complete in its temporary file, yet it must not
    // replace the older one while the last settings cannot follow.
    QTest::newRow("room for the configuration only") << 1 << kLastSettingsFileName;
}

void TestWriteFaults::diskFull()
{
    QFETCH(int, freePages);
    QFETCH(QString, failingFile);
    const QString disk = QFile::decodeName(qgetenv("ORBELITH_SMALL_DISK"));
    if (disk.isEmpty())
        QSKIP("needs a small disk of its own: run through mount-run.sh (ctest -R tst_diskfull)");

    QVERIFY(QDir::setCurrent(disk));
    for (const QString &entry : entries(disk))
        QVERIFY(QFile::remove(entry));
    QVERIFY(writeFile(kServerConfigFileName, kOlderConfig));
    QVERIFY(writeFile(kLastSettingsFileName, kOlderLastSettings));
    // tmpfs counts whole pages: leave exactly the pages the row names.
    const qint64 page = ::sysconf(_SC_PAGESIZE);
    const qint64 filler = freeBytes(disk) - freePages * page;
    QVERIFY(filler > 0);
    QVERIFY(writeFile(QStringLiteral("filler"), QByteArray(filler, 'f')));
    QCOMPARE(freeBytes(disk), freePages * page);

    startFailsLeavingAllAsItWas(failingFile, QStringLiteral("No space left on device"), true);
    QVERIFY(QFile::remove(QStringLiteral("filler")));
    startAndStopWork();
}

void TestWriteFaults::refusedWrite_data()
{
    QTest::addColumn<bool>("olderFiles");
    QTest::addColumn<bool>("directoryWritable");
    QTest::addColumn<QString>("readOnlyFile");
    QTest::addColumn<QString>("failingFile");
    QTest::addColumn<QString>("reason");

    QTest::newRow("read-only directory")
        << true << false << QString() << kServerConfigFileName << QStringLiteral("Permission denied");
    QTest::newRow("read-only directory, no older files")
        << false << false << QString() << kServerConfigFileName << QStringLiteral("Permission denied");
    QTest::newRow("read-only configuration")
        << true << true << kServerConfigFileName << kServerConfigFileName << QStringLiteral("not writable");
    QTest::newRow("read-only last settings")
        << true << true << kLastSettingsFileName << kLastSettingsFileName << QStringLiteral("not writable");
}

void TestWriteFaults::refusedWrite()
{
    QFETCH(bool, olderFiles);
    QFETCH(bool, directoryWritable);
    QFETCH(QString, readOnlyFile);
    QFETCH(QString, failingFile);
    QFETCH(QString, reason);
    if (::geteuid() == 0)
        QSKIP("root is refused nothing: run through as-nobody.sh (ctest -R tst_refusedwrite)");

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString dir = tmp.filePath(QStringLiteral("run"));
    QVERIFY(QDir().mkdir(dir));
    QVERIFY(QDir::setCurrent(dir));
    if (olderFiles) {
        QVERIFY(writeFile(kServerConfigFileName, kOlderConfig));
        QVERIFY(writeFile(kLastSettingsFileName, kOlderLastSettings));
    }
    const auto readWrite = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    const auto readOnly = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther;
    const auto exe = QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    if (!readOnlyFile.isEmpty())
        QVERIFY(QFile::setPermissions(readOnlyFile, readOnly));
    if (!directoryWritable)
        QVERIFY(QFile::setPermissions(dir, readOnly | exe));
    // A user with capabilities over files is not refused either.
    QFile probe(readOnlyFile.isEmpty() ? QStringLiteral("probe") : readOnlyFile);
    if (probe.open(QIODevice::WriteOnly | QIODevice::Append)) {
        probe.close();
        QSKIP("this user may write anyway, so nothing is refused");
    }

    startFailsLeavingAllAsItWas(failingFile, reason, olderFiles);
    QVERIFY(QFile::setPermissions(dir, readWrite | exe));
    if (!readOnlyFile.isEmpty())
        QVERIFY(QFile::setPermissions(readOnlyFile, readWrite));
    startAndStopWork();
}

void TestWriteFaults::fileCannotBePutInPlace_data()
{
    QTest::addColumn<QString>("pinned");
    QTest::newRow("configuration") << kServerConfigFileName;
    // The configuration is in place by then: only the last settings stay old.
    QTest::newRow("last settings") << kLastSettingsFileName;
}

void TestWriteFaults::fileCannotBePutInPlace()
{
    QFETCH(QString, pinned);
    // A bind mount outside a mount namespace of the test's own would outlive it.
    if (qEnvironmentVariableIsEmpty("ORBELITH_SMALL_DISK"))
        QSKIP("needs a mount namespace of its own: run through mount-run.sh (ctest -R tst_commitfails)");

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(QDir::setCurrent(tmp.path()));
    QVERIFY(writeFile(kServerConfigFileName, kOlderConfig));
    QVERIFY(writeFile(kLastSettingsFileName, kOlderLastSettings));
    // A mount point cannot be renamed over (EBUSY): the new file is complete
    // beside it, and only its last step, the rename, fails.
    const QByteArray target = QFile::encodeName(tmp.filePath(pinned));
    QVERIFY2(::mount(target.constData(), target.constData(), nullptr, MS_BIND, nullptr) == 0,
             strerror(errno));
    auto unmount = qScopeGuard([&target] { ::umount2(target.constData(), MNT_DETACH); });

    startFailsOn(pinned, QStringLiteral("busy"));
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(readFile(kLastSettingsFileName), kOlderLastSettings);
    if (pinned == kServerConfigFileName)
        QCOMPARE(readFile(kServerConfigFileName), kOlderConfig);

    unmount.dismiss();
    QCOMPARE(::umount2(target.constData(), 0), 0);
    startAndStopWork();
}

namespace {

// Two users besides root: the operator who presses Start, and another user of
// the machine who may write into the same sticky folder.
constexpr uid_t kOperator = 65534;
constexpr uid_t kOtherUser = 65533;

} // namespace

void TestWriteFaults::linkAtFinalName_data()
{
    // A link at the name (or, with "relay", the operator's own link at the
    // name leading to a link in the folder), owned by whom.
    QTest::addColumn<QString>("linked");
    QTest::addColumn<uint>("owner");
    QTest::addColumn<bool>("relay");
    QTest::addColumn<bool>("followed");

    QTest::newRow("another user's link at the configuration")
        << kServerConfigFileName << uint(kOtherUser) << false << false;
    QTest::newRow("another user's link at the last settings")
        << kLastSettingsFileName << uint(kOtherUser) << false << false;
    QTest::newRow("own link to another user's link")
        << kServerConfigFileName << uint(kOtherUser) << true << false;
    // Keeping the configuration elsewhere stays possible.
    QTest::newRow("own link at the configuration")
        << kServerConfigFileName << uint(kOperator) << false << true;
    QTest::newRow("own link at the last settings")
        << kLastSettingsFileName << uint(kOperator) << false << true;
    QTest::newRow("root's link") << kServerConfigFileName << 0u << false << true;
}

void TestWriteFaults::linkAtFinalName()
{
    QFETCH(QString, linked);
    QFETCH(uint, owner);
    QFETCH(bool, relay);
    QFETCH(bool, followed);
    if (::geteuid() != 0)
        QSKIP("needs root to act as two other users (ctest -R tst_linkowners)");

    // The operator's own folder, holding the file the link points at, and a
    // folder every user may write into, like /tmp, where Start is pressed.
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(QFile::setPermissions(tmp.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                  QFile::ReadOther | QFile::ExeOther));
    const QString own = tmp.filePath(QStringLiteral("own"));
    const QString shared = tmp.filePath(QStringLiteral("shared"));
    QVERIFY(QDir().mkdir(own) && QDir().mkdir(shared));
    QCOMPARE(::chown(QFile::encodeName(own).constData(), kOperator, kOperator), 0);
    QCOMPARE(::chmod(QFile::encodeName(own).constData(), 0700), 0);
    QCOMPARE(::chmod(QFile::encodeName(shared).constData(), 01777), 0);
    // The users launch a copy of the server that they can reach wherever the
    // build tree lies (under a folder only root may enter, say).
    const QString bin = tmp.filePath(QStringLiteral("bin"));
    QVERIFY(QDir().mkdir(bin) &&
            QFile::copy(serverDir() + QStringLiteral("/orbelithsrv"), bin + QStringLiteral("/orbelithsrv")));
    QCOMPARE(::chmod(QFile::encodeName(bin + QStringLiteral("/orbelithsrv")).constData(), 0755), 0);
    qputenv("ORBELITH_FAULT_SERVER_DIR", QFile::encodeName(bin));
    const auto builtServer = qScopeGuard([] { qunsetenv("ORBELITH_FAULT_SERVER_DIR"); });
    const QString target = own + QStringLiteral("/kept-elsewhere");
    QVERIFY(writeFile(target, "the operator's file"));
    QCOMPARE(::chown(QFile::encodeName(target).constData(), kOperator, kOperator), 0);

    const auto plant = [](const QString &to, const QString &at, uid_t by) {
        const QByteArray path = QFile::encodeName(at);
        return ::symlink(QFile::encodeName(to).constData(), path.constData()) == 0 &&
               ::lchown(path.constData(), by, by) == 0;
    };
    const QString name = shared + u'/' + linked;
    if (relay) {
        const QString relayed = shared + QStringLiteral("/relay");
        QVERIFY(plant(target, relayed, owner));
        QVERIFY(plant(relayed, name, kOperator));
    } else {
        QVERIFY(plant(target, name, owner));
    }
    const QStringList before = entries(shared);
    const QString linkedTo = QFile::symLinkTarget(name);

    {
        auto [ok, asRoot] = actAsUser(kOperator);
        QVERIFY2(ok, strerror(errno));
        QVERIFY(QDir::setCurrent(shared));
        pressStartInNewWindow();
        const QString status = child<QLabel>("Label4")->text();
        const ServerSettings settings = m_form->settingsFromControls();

        if (followed) {
            QCOMPARE(status, QStringLiteral("Orbelith Server started...."));
            QVERIFY(QTest::qWaitFor([] { return QFile::exists(QStringLiteral("stubborn.ready")); }, 5000));
            QCOMPARE(readFile(target), linked == kServerConfigFileName ? WriteServerConfig(settings)
                                                                       : WriteLastSettings(settings));
            QVERIFY(QFileInfo(name).isSymLink());
            QCOMPARE(QFile::symLinkTarget(name), linkedTo);
            click("command2");
            QVERIFY(waitForServersGone(shared));
        } else {
            QVERIFY2(status.startsWith(QStringLiteral("Could not write %1: ").arg(linked)),
                     qPrintable(status));
            QVERIFY2(status.contains(QStringLiteral("another user")), qPrintable(status));
            QVERIFY(!m_form->isServerRunning());
            QVERIFY(child<QAbstractButton>("Command1")->isEnabled());
            QVERIFY(!child<QAbstractButton>("command2")->isEnabled());
            QVERIFY(serversIn(shared).empty());
            QCOMPARE(readFile(target), QByteArray("the operator's file"));
            // Neither file was written, nor a temporary one left.
            QCOMPARE(entries(shared), before);
            QCOMPARE(QFile::symLinkTarget(name), linkedTo);
        }
        m_form.reset();
    }
    QTRY_COMPARE(zombieChildren(), QStringList());
}

void TestWriteFaults::linkPlantedDuringTheWrite()
{
    if (::geteuid() != 0)
        QSKIP("needs root to act as two other users (ctest -R tst_linkowners)");
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QCOMPARE(::chmod(QFile::encodeName(tmp.path()).constData(), 0755), 0);
    const QByteArray own = QFile::encodeName(tmp.filePath(QStringLiteral("own")));
    const QString shared = tmp.filePath(QStringLiteral("shared"));
    QVERIFY(::mkdir(own.constData(), 0700) == 0 && ::chown(own.constData(), kOperator, kOperator) == 0);
    QVERIFY(::mkdir(QFile::encodeName(shared).constData(), 0700) == 0 &&
            ::chmod(QFile::encodeName(shared).constData(), 01777) == 0);
    const QString target = QFile::decodeName(own) + QStringLiteral("/kept-elsewhere");
    QVERIFY(writeFile(target, "the operator's file"));
    QCOMPARE(::chown(QFile::encodeName(target).constData(), kOperator, kOperator), 0);

    // The other user makes the link and takes it away again in a loop, for
    // times that vary, while the operator presses Start again and again.
    const QByteArray name = QFile::encodeName(shared + u'/' + kLastSettingsFileName);
    const pid_t planter = ::fork();
    if (planter == 0) {
        const QByteArray to = QFile::encodeName(target);
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kOtherUser, kOtherUser, kOtherUser) != 0 ||
            ::setresuid(kOtherUser, kOtherUser, kOtherUser) != 0)
            ::_exit(1);
        for (unsigned n = 0;; ++n) {
            ::symlink(to.constData(), name.constData());
            for (volatile unsigned spin = 0; spin < n % 32 * 1000; spin = spin + 1) {
            }
            ::unlink(name.constData());
            for (volatile unsigned spin = 0; spin < n % 32 * 2000; spin = spin + 1) {
            }
        }
    }
    int refused = 0;
    {
        const auto stopPlanter = qScopeGuard([planter] { endChild(planter); });
        auto [ok, asRoot] = actAsUser(kOperator);
        QVERIFY2(ok, strerror(errno));
        for (int run = 0; run < 300; ++run) {
            // Each run begins with the link away, as a user would find the folder.
            struct stat st
            {
            };
            while (::lstat(name.constData(), &st) == 0 && S_ISLNK(st.st_mode)) {
            }
            refused += !writeSettingsFiles(shared, ServerSettings{}).ok();
            QVERIFY2(readFile(target) == "the operator's file",
                     qPrintable(QStringLiteral("run %1").arg(run)));
            QFile::remove(shared + u'/' + kServerConfigFileName);
            QFile::remove(QFile::decodeName(name));
        }
    }
    QVERIFY(refused > 0);
    // Nor is a temporary file left; the link may be.
    const QStringList left = entries(shared);
    QVERIFY2(left.isEmpty() || left == QStringList{kLastSettingsFileName}, qPrintable(left.join(u' ')));
}

QTEST_MAIN(TestWriteFaults)
#include "tst_writefaults.moc"
