#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <vector>

#include <signal.h>

namespace {

// The defaults as the GUI writes them; @PORT@ becomes a free port.
const QByteArray kGuiFile =
    "ServerName=Quillmere\r\nLocation=\r\nURL=http://\r\nMaxUsers=50\r\nPort=@PORT@\r\n"
    "Public=1\r\nIP=127.0.0.1\r\nFloodMsgNb=3\r\nFloodMsgTime=5\r\nMinPing=0\r\n"
    "MaxConnSet=0\r\nMotdLine=Welcome!\r\nMotdLine=\r\nAllowWebAccess=1";

QJsonObject guiValues()
{
    return QJsonDocument::fromJson(
               "{\"ServerName\": \"Quillmere\", \"Location\": \"\", \"URL\": \"http://\", "
               "\"MaxUsers\": \"50\", \"Port\": \"@PORT@\", \"Public\": \"1\", \"IP\": \"127.0.0.1\", "
               "\"FloodMsgNb\": \"3\", \"FloodMsgTime\": \"5\", \"MinPing\": \"0\", "
               "\"MaxConnSet\": \"0\", \"MotdLines\": [\"Welcome!\", \"\"], \"AllowWebAccess\": \"1\"}")
        .object();
}

QJsonObject guiValuesWith(const QString &key, const QJsonValue &value)
{
    QJsonObject object = guiValues();
    object.insert(key, value);
    return object;
}

// kGuiFile with the line of `key` replaced; an empty `line` leaves a blank line.
QByteArray guiFileWith(const QByteArray &key, const QByteArray &line)
{
    QList<QByteArray> lines = kGuiFile.split('\n');
    for (QByteArray &each : lines) {
        if (each.startsWith(key + '='))
            each = line + (each.endsWith('\r') ? "\r" : "");
    }
    return lines.join('\n');
}

enum Setup
{
    WriteFile,
    NoFile,
    DirectoryInstead,
    PortHeldByProgram,
    PortHeldByStandin
};

struct Reply
{
    int status = 0;
    QByteArray contentType;
    QByteArray body;
};

// A client that sends its request one byte every half second and never ends
// it, as a hostile client or a very bad network would. It keeps at it for
// 20 s, far longer than the server may wait for a request.
class SlowClient
{
public:
    static constexpr int kBytes = 40;

    explicit SlowClient(quint16 port)
    {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        m_socket.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ");
        QObject::connect(&m_timer, &QTimer::timeout, &m_socket, [this] {
            if (m_sent < kBytes && m_socket.state() == QAbstractSocket::ConnectedState) {
                m_socket.write("a");
                ++m_sent;
            }
        });
        m_timer.start(500);
    }

    bool connected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    bool dribbling() const { return connected() && m_sent < kBytes; }
    int sent() const { return m_sent; }
    QByteArray received()
    {
        m_received += m_socket.readAll();
        return m_received;
    }

private:
    QTcpSocket m_socket;
    QTimer m_timer;
    int m_sent = 0;
    QByteArray m_received;
};

enum Client
{
    NoClient,
    IdleClient,
    DribblingClient
};

} // namespace

class TestStandin : public QObject
{
    Q_OBJECT

public:
    // Only ever 127.0.0.1, whatever proxy the environment names.
    TestStandin() { m_network.setProxy(QNetworkProxy::NoProxy); }

private slots:
    void init();
    void cleanup();
    void jsonReflectsFile_data();
    void jsonReflectsFile();
    void htmlEscapesValuesAndKeepsMotdLines();
    void valuesAddNoMarkup_data();
    void valuesAddNoMarkup();
    void jsonEscapesControlCharacters();
    void unknownPathsAreNotFound_data();
    void unknownPathsAreNotFound();
    void rawRequests_data();
    void rawRequests();
    void startupFailures_data();
    void startupFailures();
    void stopSignals_data();
    void stopSignals();
    void slowClientsDelayNoOne();
    void slowRequestIsCutOff();

private:
    QProcess *start(const QString &dir, const QByteArray &content, quint16 port);
    QProcess *startListening(const QString &dir, const QByteArray &content, quint16 port);
    Reply get(quint16 port, const QString &path);

    QNetworkAccessManager m_network;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

static quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

void TestStandin::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestStandin::cleanup()
{
    for (const auto &process : m_processes) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    m_processes.clear();
    m_network.clearConnectionCache();
    m_dir.reset();
}

// Writes the file unless `content` is null, then starts the stand-in in `dir`.
QProcess *TestStandin::start(const QString &dir, const QByteArray &content, quint16 port)
{
    if (!content.isNull()) {
        QFile file(dir + "/orbelithsrv.conf");
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(QByteArray(content).replace("@PORT@", QByteArray::number(port))) < 0)
            return nullptr;
    }
    m_processes.push_back(std::make_unique<QProcess>());
    QProcess *process = m_processes.back().get();
    process->setProgram(STANDIN_PROGRAM);
    process->setWorkingDirectory(dir);
    process->setStandardInputFile(QProcess::nullDevice());
    process->start();
    return process->waitForStarted() ? process : nullptr;
}

// The started stand-in once it accepts connections; nullptr if it never does.
QProcess *TestStandin::startListening(const QString &dir, const QByteArray &content, quint16 port)
{
    QProcess *process = start(dir, content, port);
    for (int attempt = 0; process && process->state() == QProcess::Running && attempt < 200; ++attempt) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        if (probe.waitForConnected(1000))
            return process;
        QTest::qWait(25);
    }
    qWarning() << "not listening:" << (process ? process->readAllStandardError() : QByteArray());
    return nullptr;
}

Reply TestStandin::get(quint16 port, const QString &path)
{
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path)));
    request.setTransferTimeout(10000);
    std::unique_ptr<QNetworkReply> reply(m_network.get(request));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!reply->isFinished() && !finished.wait(15000))
        return {};
    return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
            reply->rawHeader("Content-Type"), reply->readAll()};
}

void TestStandin::jsonReflectsFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QJsonObject>("expected");

    QTest::newRow("as the GUI writes it") << kGuiFile << guiValues();
    QTest::newRow("LF line ends") << QByteArray(kGuiFile).replace("\r\n", "\n") << guiValues();
    QTest::newRow("lone CR line ends") << QByteArray(kGuiFile).replace("\r\n", "\r") << guiValues();
    QTest::newRow("byte order mark") << "\xEF\xBB\xBF" + kGuiFile << guiValues();
    QTest::newRow("stray lines, unknown key") << "junk\r\n\r\nFoo=bar\r\n" + kGuiFile + "\r\n# end\r\n"
                                              << guiValues();
    QTest::newRow("MaxConnSet missing")
        << guiFileWith("MaxConnSet", "") << guiValuesWith("MaxConnSet", QJsonValue::Null);
    QTest::newRow("later duplicate wins")
        << "ServerName=Old\r\n" + kGuiFile + "\r\nServerName=New" << guiValuesWith("ServerName", "New");
    QTest::newRow("blanks around the port")
        << guiFileWith("Port", "Port= @PORT@\t") << guiValuesWith("Port", " @PORT@\t");
    QTest::newRow("value with = and blanks")
        << guiFileWith("URL", "URL= http://h/?a=b&c= ") << guiValuesWith("URL", " http://h/?a=b&c= ");
    QTest::newRow("UTF-8 text") << guiFileWith("Location",
                                               "Location=Z\xC3\xBCrich \xE2\x80\x93 S\xC3\xBC\x64")
                                << guiValuesWith("Location",
                                                 QString::fromUtf8("Z\u00fcrich \u2013 S\u00fcd"));
}

void TestStandin::jsonReflectsFile()
{
    QFETCH(QByteArray, content);
    QFETCH(QJsonObject, expected);

    const quint16 port = freePort();
    QVERIFY(startListening(m_dir->path(), content, port));
    const Reply reply = get(port, "/status.json");
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.contentType, QByteArray("application/json"));

    QJsonParseError error;
    const QJsonObject json = QJsonDocument::fromJson(reply.body, &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(json.keys(), expected.keys());
    for (auto it = expected.begin(); it != expected.end(); ++it) {
        QJsonValue value = it.value();
        if (value.isString())
            value = value.toString().replace("@PORT@", QString::number(port));
        QVERIFY2(json.value(it.key()) == value, qPrintable(it.key()));
    }
}

void TestStandin::htmlEscapesValuesAndKeepsMotdLines()
{
    const QByteArray content =
        "ServerName=<b>\"Q&A\"</b>\r\nLocation=Tom & Jerry\r\nPort=@PORT@\r\nIP=127.0.0.1\r\n"
        "MotdLine=Welcome!\r\nMotdLine=\r\nMotdLine=  <i>odd</i> & more\r\nMotdLine=\r\n"
        "MotdLine=last\r\nAllowWebAccess=1";
    const quint16 port = freePort();
    QVERIFY(startListening(m_dir->path(), content, port));

    const Reply reply = get(port, "/");
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.contentType, QByteArray("text/html; charset=utf-8"));
    const QString html = QString::fromUtf8(reply.body);
    const auto title = QRegularExpression("<title>([^<]*)</title>").match(html);
    QVERIFY2(title.captured(1).endsWith("&lt;b&gt;&quot;Q&amp;A&quot;&lt;/b&gt;"), qPrintable(html));
    QVERIFY(html.contains("Tom &amp; Jerry"));
    QVERIFY(!html.contains("<b>") && !html.contains("\"Q&A\"") && !html.contains("<i>"));

    const auto motd =
        QRegularExpression("<ul class=\"motd\">(.*)</ul>", QRegularExpression::DotMatchesEverythingOption)
            .match(html);
    QStringList shown;
    for (const auto &item : QRegularExpression("<li>([^<]*)</li>").globalMatch(motd.captured(1)))
        shown << item.captured(1);
    QCOMPARE(shown, QStringList({"Welcome!", "", "  &lt;i&gt;odd&lt;/i&gt; &amp; more", "", "last"}));
}

// A file with `value` in every key but IP and Port, and in two message lines.
static QByteArray fileWithEverywhere(const QByteArray &value)
{
    QByteArray content;
    for (const char *key :
         {"ServerName", "Location", "URL", "MaxUsers", "Public", "FloodMsgNb", "FloodMsgTime", "MinPing",
          "MaxConnSet", "AllowWebAccess", "MotdLine", "MotdLine"})
        content += QByteArray(key) + '=' + value + "\r\n";
    return content + "IP=127.0.0.1\r\nPort=@PORT@";
}

void TestStandin::valuesAddNoMarkup_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("closing tags and a script") << QByteArray("</td></tr></table><script>alert('x')</script>");
    QTest::newRow("quotes and an attribute") << QByteArray("'><img src=x onerror=\"alert(1)\">");
    QTest::newRow("entities stay text") << QByteArray("&lt;b&gt; &amp; &#39; &quot;");
    QTest::newRow("comment and CDATA") << QByteArray("<!-- ]]><![CDATA[ <style>");
    QTest::newRow("control characters") << QByteArray("\x01\x1b[31m\x7f<b>");
}

// Whatever a value holds, the page has the same elements as with a plain one,
// and every cell and line shows the value as text.
void TestStandin::valuesAddNoMarkup()
{
    QFETCH(QByteArray, value);
    const auto tags = [](const QString &html) {
        QStringList names;
        for (const auto &m : QRegularExpression("<(/?[A-Za-z!][A-Za-z0-9-]*)").globalMatch(html))
            names << m.captured(1);
        return names;
    };
    const auto shown = [](QString text) {
        return text.replace("&lt;", "<")
            .replace("&gt;", ">")
            .replace("&quot;", "\"")
            .replace("&#39;", "'")
            .replace("&amp;", "&");
    };

    const quint16 plainPort = freePort();
    QTemporaryDir plainDir;
    QVERIFY(startListening(plainDir.path(), fileWithEverywhere("plain"), plainPort));
    const QString plain = QString::fromUtf8(get(plainPort, "/").body);

    const quint16 port = freePort();
    QVERIFY(startListening(m_dir->path(), fileWithEverywhere(value), port));
    const QString html = QString::fromUtf8(get(port, "/").body);
    QCOMPARE(tags(html), tags(plain));

    const QString expected = QString::fromUtf8(value);
    int cells = 0;
    for (const auto &m : QRegularExpression("<(td|li)>([^<]*)</\\1>").globalMatch(html)) {
        if (m.captured(2) != QStringLiteral("127.0.0.1") && m.captured(2) != QString::number(port)) {
            QCOMPARE(shown(m.captured(2)), expected);
            ++cells;
        }
    }
    QCOMPARE(cells, 12);
}

void TestStandin::jsonEscapesControlCharacters()
{
    const QByteArray value =
        QByteArrayLiteral("\x01\x08\t\x0b\x0c\x1b\x1f\x7f \" \\ </script> \xe2\x80\xa8 \0 end");
    const quint16 port = freePort();
    QVERIFY(startListening(m_dir->path(), fileWithEverywhere(value), port));
    const QByteArray body = get(port, "/status.json").body;
    // Only the layout's line breaks may appear raw.
    for (const char c : body)
        QVERIFY2(uchar(c) >= 0x20 || c == '\n', qPrintable(QStringLiteral("raw 0x%1").arg(int(c), 2, 16)));

    QJsonParseError error;
    const QJsonObject json = QJsonDocument::fromJson(body, &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    const QString expected = QString::fromUtf8(value);
    QCOMPARE(json.value("ServerName").toString(), expected);
    QCOMPARE(json.value("AllowWebAccess").toString(), expected);
    QCOMPARE(json.value("MotdLines").toArray(), QJsonArray({expected, expected}));
}

void TestStandin::unknownPathsAreNotFound_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("other name") << "/index.html";
    QTest::newRow("dot is literal") << "/status_json";
    QTest::newRow("below the status") << "/status.json/more";
}

void TestStandin::unknownPathsAreNotFound()
{
    QFETCH(QString, path);
    const quint16 port = freePort();
    QVERIFY(startListening(m_dir->path(), kGuiFile, port));
    QCOMPARE(get(port, path).status, 404);
}

void TestStandin::rawRequests_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("statusLine");

    QTest::newRow("HTTP/1.0") << QByteArray("GET / HTTP/1.0\r\n\r\n") << QByteArray("HTTP/1.1 200 OK");
    QTest::newRow("bare LF line ends, query")
        << QByteArray("GET /status.json?x=1 HTTP/1.1\nHost: a\n\n") << QByteArray("HTTP/1.1 200 OK");
    QTest::newRow("HEAD") << QByteArray("HEAD / HTTP/1.1\r\nHost: a\r\n\r\n")
                          << QByteArray("HTTP/1.1 200 OK");
    QTest::newRow("POST") << QByteArray("POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n")
                          << QByteArray("HTTP/1.1 405 Method Not Allowed");
    QTest::newRow("no version") << QByteArray("GET /\r\n\r\n") << QByteArray("HTTP/1.1 400 Bad Request");
    QTest::newRow("endless headers") << "GET / HTTP/1.1\r\nX: " + QByteArray(20000, 'a')
                                     << QByteArray("HTTP/1.1 431 Request Header Fields Too Large");
}

// Requests as a client sends them, and the whole answer up to the server's close.
void TestStandin::rawRequests()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, statusLine);

    const quint16 port = freePort();
    QVERIFY(startListening(m_dir->path(), kGuiFile, port));
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(socket.waitForConnected(5000));
    socket.write(request);
    QByteArray answer;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(10000))
        answer += socket.readAll();
    answer += socket.readAll();

    QVERIFY2(answer.startsWith(statusLine + "\r\n"), answer.left(200));
    const qsizetype bodyStart = answer.indexOf("\r\n\r\n") + 4;
    const QByteArray head = answer.left(bodyStart);
    QVERIFY2(head.contains("\r\nConnection: close\r\n"), head);
    const auto match = QRegularExpression("\r\nContent-Length: (\\d+)\r\n").match(head);
    QVERIFY2(match.hasMatch(), head);
    const qsizetype length = match.captured(1).toLongLong();
    // HEAD is told the length of the page without getting it.
    if (request.startsWith("HEAD"))
        QVERIFY(answer.size() == bodyStart && length > 0);
    else
        QCOMPARE(answer.size() - bodyStart, length);
}

void TestStandin::startupFailures_data()
{
    QTest::addColumn<int>("setup");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("mention");

    QTest::newRow("no file") << int(NoFile) << QByteArray() << "orbelithsrv.conf";
    QTest::newRow("a directory") << int(DirectoryInstead) << QByteArray() << "orbelithsrv.conf";
    QTest::newRow("IP not-an-ip") << int(WriteFile) << guiFileWith("IP", "IP=not-an-ip") << "not-an-ip";
    QTest::newRow("IP is a host name") << int(WriteFile) << guiFileWith("IP", "IP=localhost") << "localhost";
    QTest::newRow("IP shorthand") << int(WriteFile) << guiFileWith("IP", "IP=127.1") << "127.1";
    QTest::newRow("IP with NUL") << int(WriteFile) << guiFileWith("IP", QByteArray("IP=127.0.0.1\0x", 14))
                                 << "IP";
    QTest::newRow("IP missing") << int(WriteFile) << guiFileWith("IP", "") << "IP";
    QTest::newRow("port 0") << int(WriteFile) << guiFileWith("Port", "Port=0") << "\"0\"";
    QTest::newRow("port 70000") << int(WriteFile) << guiFileWith("Port", "Port=70000") << "70000";
    QTest::newRow("port 2^32 + 27888")
        << int(WriteFile) << guiFileWith("Port", "Port=4294995184") << "4294995184";
    QTest::newRow("port abc") << int(WriteFile) << guiFileWith("Port", "Port=abc") << "abc";
    QTest::newRow("port empty") << int(WriteFile) << guiFileWith("Port", "Port=") << "Port";
    QTest::newRow("port held by a program") << int(PortHeldByProgram) << kGuiFile << "@PORT@";
    // Two servers sharing a port (SO_REUSEPORT) would split the clients between them.
    QTest::newRow("port held by a stand-in") << int(PortHeldByStandin) << kGuiFile << "@PORT@";
}

void TestStandin::startupFailures()
{
    QFETCH(int, setup);
    QFETCH(QByteArray, content);
    QFETCH(QString, mention);

    quint16 port = freePort();
    QTcpServer holder;
    QTemporaryDir otherDir;
    if (setup == PortHeldByProgram) {
        QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
        port = holder.serverPort();
    } else if (setup == PortHeldByStandin) {
        QVERIFY(startListening(otherDir.path(), kGuiFile, port));
    } else if (setup == DirectoryInstead) {
        QVERIFY(QDir(m_dir->path()).mkdir("orbelithsrv.conf"));
    }

    QProcess *process = start(m_dir->path(), content, port);
    QVERIFY(process && process->waitForFinished(10000));
    QCOMPARE(process->exitStatus(), QProcess::NormalExit);
    QVERIFY(process->exitCode() != 0);
    const QByteArray error = process->readAllStandardError();
    QVERIFY2(error.count('\n') == 1 && error.endsWith('\n') && !error.trimmed().isEmpty(), error);
    QVERIFY2(error.contains(mention.replace("@PORT@", QString::number(port)).toUtf8()), error);
}

void TestStandin::stopSignals_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("client");
    QTest::newRow("SIGTERM") << SIGTERM << int(NoClient);
    QTest::newRow("SIGINT") << SIGINT << int(NoClient);
    QTest::newRow("SIGTERM, idle client") << SIGTERM << int(IdleClient);
    QTest::newRow("SIGTERM, slow client") << SIGTERM << int(DribblingClient);
}

void TestStandin::stopSignals()
{
    QFETCH(int, signal);
    QFETCH(int, client);

    const quint16 port = freePort();
    QProcess *process = startListening(m_dir->path(), kGuiFile, port);
    QVERIFY(process);
    QCOMPARE(get(port, "/").status, 200);
    // A client that connects and never asks, or asks very slowly, must not
    // keep the server up.
    QTcpSocket idle;
    std::unique_ptr<SlowClient> slow;
    if (client == IdleClient) {
        idle.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(idle.waitForConnected(5000));
    } else if (client == DribblingClient) {
        slow = std::make_unique<SlowClient>(port);
        QTRY_VERIFY(slow->sent() >= 2);
    }

    // Waits with the event loop running, so the slow client goes on sending.
    QSignalSpy finished(process, &QProcess::finished);
    QCOMPARE(::kill(static_cast<pid_t>(process->processId()), signal), 0);
    QVERIFY(process->state() == QProcess::NotRunning || finished.wait(10000));
    QCOMPARE(process->exitStatus(), QProcess::NormalExit);
    QCOMPARE(process->exitCode(), 0);
    QCOMPARE(process->readAllStandardError(), QByteArray());
    // Ended at once, not once the slow request had run out of time.
    if (slow)
        QCOMPARE(slow->received(), QByteArray());
}

void TestStandin::slowClientsDelayNoOne()
{
    const quint16 port = freePort();
    QVERIFY(startListening(m_dir->path(), kGuiFile, port));
    std::vector<std::unique_ptr<SlowClient>> slow;
    for (int i = 0; i < 8; ++i)
        slow.push_back(std::make_unique<SlowClient>(port));
    // Each is connected and has begun to send.
    QTRY_VERIFY(std::all_of(slow.begin(), slow.end(), [](const auto &each) { return each->sent() >= 1; }));

    QCOMPARE(get(port, "/").status, 200);
    for (const auto &each : slow)
        QVERIFY(each->dribbling());
}

void TestStandin::slowRequestIsCutOff()
{
    const quint16 port = freePort();
    QVERIFY(startListening(m_dir->path(), kGuiFile, port));
    SlowClient slow(port);
    QTRY_VERIFY(slow.sent() >= 1);
    QTRY_VERIFY_WITH_TIMEOUT(!slow.connected(), 15000);
    QVERIFY(slow.sent() < SlowClient::kBytes);
    QVERIFY2(slow.received().startsWith("HTTP/1.1 408 "), slow.received());
    // The server itself goes on.
    QCOMPARE(get(port, "/").status, 200);
}

QTEST_GUILESS_MAIN(TestStandin)
#include "tst_standin.moc"
