// Start and Stop, over and over, of the real window against the real stand-in,
// in a network namespace of the test's own: every server must end, and the
// window's process must neither keep files open nor grow.
#include "processes.h"

#include "form1.h"
#include "localaddress.h"

#include <QAbstractButton>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

using namespace testprocesses;
using namespace std::chrono_literals;

namespace {

constexpr int kDefaultCycles = 500;
// Caches, fonts and the first sockets settle in the first cycles.
constexpr int kWarmUpCycles = 20;
constexpr qint64 kAllowedGrowthKiB = 2 * 1024;
#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer keeps freed memory in quarantine and its shadow mapped, so
// resident memory grows there by design; LeakSanitizer checks for leaks at
// exit instead.
constexpr bool kResidentMemoryMeaningful = false;
#else
constexpr bool kResidentMemoryMeaningful = true;
#endif

int openFileDescriptors()
{
    // Less the one the listing itself holds open.
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::NoDotAndDotDot)
                   .size()) -
           1;
}

// The descriptors that watching and logging servers use: pidfds and the log.
QStringList serverDescriptors()
{
    QStringList held;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::AllEntries | QDir::NoDotAndDotDot)) {
        const QString target = QFile::symLinkTarget(fds.filePath(fd));
        if (target.contains(QStringLiteral("pidfd")) ||
            target.contains(QStringLiteral("orbelith-gui-server.log")))
            held.append(fd + QStringLiteral(" -> ") + target);
    }
    return held;
}

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// True once the server answers its page with the expected name.
bool pageAnswers(quint16 port, const QByteArray &name)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(1000))
        return false;
    socket.write("GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(3000)) {
    }
    const QByteArray reply = socket.readAll();
    return reply.startsWith("HTTP/1.1 200") && reply.contains(name);
}

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    void startStopCycles();
};

void TestSoak::startStopCycles()
{
    QCOMPARE(localIpAddress(), QStringLiteral("127.0.0.1"));
    bool ok = false;
    int cycles = qEnvironmentVariableIntValue("ORBELITH_SOAK_CYCLES", &ok);
    if (!ok)
        cycles = kDefaultCycles;
    QVERIFY2(cycles > kWarmUpCycles, "ORBELITH_SOAK_CYCLES must exceed the warm-up cycles");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    const auto restore = qScopeGuard([&] {
        killServersIn(dir.path());
        QDir::setCurrent(previousDir);
    });

    Form1 form(
        std::make_unique<PosixServerControl>(PosixServerControl::Options{QStringLiteral(STANDIN_DIR), 3s}));
    form.Form_Load();
    form.show();
    const quint16 port = freeLoopbackPort();
    QVERIFY(port);
    form.findChild<QLineEdit *>(QStringLiteral("Text1(4)"))->setText(QString::number(port));
    auto *start = form.findChild<QAbstractButton *>(QStringLiteral("Command1"));
    auto *stop = form.findChild<QAbstractButton *>(QStringLiteral("command2"));
    auto *name = form.findChild<QLineEdit *>(QStringLiteral("Text1(0)"));

    const int fdsAtStart = openFileDescriptors();
    const qint64 rssAtStart = residentKiB();
    int fdsAfterWarmUp = 0;
    qint64 rssAfterWarmUp = 0;
    QElapsedTimer clock;
    clock.start();
    for (int cycle = 0; cycle < cycles; ++cycle) {
        if (cycle == kWarmUpCycles) {
            fdsAfterWarmUp = openFileDescriptors();
            rssAfterWarmUp = residentKiB();
        }
        const QByteArray expectedName = "Cycle " + QByteArray::number(cycle);
        name->setText(QString::fromLatin1(expectedName));
        QTest::mouseClick(start, Qt::LeftButton);
        QVERIFY2(form.isServerRunning(),
                 qPrintable(QStringLiteral("cycle %1: %2")
                                .arg(cycle)
                                .arg(form.findChild<QLabel *>(QStringLiteral("Label4"))->text())));
        QVERIFY2(QTest::qWaitFor([&] { return pageAnswers(port, expectedName); }, 10000),
                 qPrintable(QStringLiteral("cycle %1: the server never answered").arg(cycle)));
        QTest::mouseClick(stop, Qt::LeftButton);
        QTRY_VERIFY(!form.isServerRunning());
        QVERIFY2(waitForServersGone(dir.path()),
                 qPrintable(QStringLiteral("cycle %1: the server stayed").arg(cycle)));
    }
    const qint64 elapsedMs = clock.elapsed();
    const int fdsAtEnd = openFileDescriptors();
    const qint64 rssAtEnd = residentKiB();

    std::printf("soak: %d cycles in %.1f s\n"
                "soak: open file descriptors %d at start, %d after %d cycles, %d at the end\n"
                "soak: resident memory %lld KiB at start, %lld KiB after %d cycles, %lld KiB at the end\n",
                cycles, elapsedMs / 1000.0, fdsAtStart, fdsAfterWarmUp, kWarmUpCycles, fdsAtEnd,
                static_cast<long long>(rssAtStart), static_cast<long long>(rssAfterWarmUp), kWarmUpCycles,
                static_cast<long long>(rssAtEnd));
    std::fflush(stdout);

    QTRY_COMPARE(zombieChildren(), QStringList());
    QVERIFY(serversIn(dir.path()).empty());
    // Every pidfd and log descriptor of the 500 servers is closed.
    QCOMPARE(serverDescriptors(), QStringList());
    QCOMPARE(fdsAtEnd, fdsAfterWarmUp);
    if (kResidentMemoryMeaningful)
        QVERIFY2(rssAtEnd - rssAfterWarmUp < kAllowedGrowthKiB,
                 qPrintable(QStringLiteral("grew by %1 KiB").arg(rssAtEnd - rssAfterWarmUp)));
}

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
