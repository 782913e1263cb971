#include "httpfixture.h"

#include "core/env.h"
#include "core/settingsfile.h"
#include "rawclient.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

TestHost::TestHost(const QString &settingsPath)
    : m_settings(settingsPath, QSettings::IniFormat)
{
}

void TestHost::setValue(const QString &group, const QString &key, const QVariant &value)
{
    m_settings.setValue(group + QLatin1Char('/') + key, value);
}

void TestHost::setDefaultValue(const QString &group, const QString &key, const QVariant &value)
{
    if (!m_settings.contains(group + QLatin1Char('/') + key))
        setValue(group, key, value);
    m_settings.sync();
}

QVariant TestHost::value(const QString &group, const QString &key,
                         const QVariant &defaultValue) const
{
    return m_settings.value(group + QLatin1Char('/') + key, defaultValue);
}

bool TestHost::syncSettings()
{
    return writeSettingsFile(m_settings);
}

bool TestHost::restartSipAndVelk()
{
    ++restarts;
    QEventLoop loop;
    QTimer::singleShot(restartMs, &loop, &QEventLoop::quit);
    loop.exec();
    return true;
}

QString HttpFixture::usersFile()
{
    return Env::configFilePath(QStringLiteral("admin-users"));
}

quint16 HttpFixture::freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

quint16 HttpFixture::freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress(QHostAddress::LocalHost), 0);
    return probe.localPort();
}

quint16 HttpFixture::freeSipPort()
{
    const int first = 20000, count = 12000; // below Linux's ephemeral range, 32768 on
    const int start = int(QRandomGenerator::global()->bounded(count));
    for (int i = 0; i < count; ++i) {
        const quint16 port = quint16(first + (start + i) % count);
        QUdpSocket udp;
        QTcpServer tcp;
        if (udp.bind(QHostAddress(QHostAddress::LocalHost), port)
            && tcp.listen(QHostAddress(QHostAddress::LocalHost), port))
            return port;
    }
    return 0;
}

void HttpFixture::write(QSettings &file,
                        std::initializer_list<std::pair<const char *, QVariant>> values)
{
    for (const auto &value : values)
        file.setValue(QLatin1String(value.first), value.second);
    file.sync();
}

HttpFixture::HttpFixture()
{
    // Beside the users file, in the private configuration folder of the test.
    const QString mainFile = Env::configFilePath(QStringLiteral("main-test"));
    QFile::remove(mainFile);
    QFile::remove(usersFile());
    {
        QSettings users(usersFile(), QSettings::IniFormat);
        users.setIniCodec("UTF-8");
        write(users,
              { { "anna/is-admin", "false" },
                { "anna/password", "anna-pw" },
                { "anna/display-name", "Анна" } });
    }
    // As a hand-written file holds them, unquoted: QSettings reads each as a list.
    QFile byHand(usersFile());
    byHand.open(QIODevice::Append);
    byHand.write("[carl]\npassword=c,pw\n[dora]\nis-admin=false\npassword=b o, ss\n");
    byHand.close();
    m_host = new TestHost(mainFile);
    m_port = freePort();
    m_host->setValue("admin", "bind-address", "127.0.0.1");
    m_host->setValue("admin", "bind-port", m_port);
    m_http = new Http(m_host);
}

HttpFixture::~HttpFixture()
{
    m_http->stop();
    m_http->waitSeconds(16);
    delete m_host;
}

bool HttpFixture::start()
{
    m_http->start();
    return QTest::qWaitFor([this] { return m_http->connectionState() == HttpListening; }, 30000);
}

HttpReply HttpFixture::parse(const QByteArray &raw)
{
    HttpReply reply;
    // With a digest login curl shows the challenge first: the last answer counts.
    int start = raw.lastIndexOf("HTTP/1.1 ");
    while (start > 0 && raw.lastIndexOf("\r\n\r\n", start) < 0)
        start = raw.lastIndexOf("HTTP/1.1 ", start - 1);
    if (start < 0)
        return reply;
    const int headEnd = raw.indexOf("\r\n\r\n", start);
    const QList<QByteArray> lines = raw.mid(start, headEnd - start).split('\n');
    reply.status = lines.value(0).mid(9, 3).toInt();
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines[i].indexOf(':');
        if (colon > 0)
            reply.headers.insert(QString::fromLatin1(lines[i].left(colon)).toLower(),
                                 QString::fromLatin1(lines[i].mid(colon + 1)).trimmed());
    }
    reply.body = headEnd < 0 ? QByteArray() : raw.mid(headEnd + 4);
    return reply;
}

HttpReply HttpFixture::curl(const QString &credentials, const QString &path,
                            const QStringList &extra)
{
    QStringList args { "-s", "-i", "--path-as-is", "--max-time", "30" };
    if (!credentials.isEmpty())
        args += { "--digest", "-u", credentials };
    args << extra << QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path);
    QProcess process;
    QEventLoop loop;
    QObject::connect(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    process.start("curl", args);
    if (process.state() != QProcess::NotRunning)
        loop.exec();
    // The module lives in this thread: the loop above is what lets it answer.
    return parse(process.readAllStandardOutput());
}

QString HttpFixture::digest(const QString &user, const QString &realm, const QString &password,
                            const QString &method, const QString &uri, const QString &nonce)
{
    auto md5 = [](const QString &text) {
        return QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex();
    };
    const QByteArray ha1 = md5(QStringLiteral("%1:%2:%3").arg(user, realm, password));
    const QByteArray ha2 = md5(QStringLiteral("%1:%2").arg(method, uri));
    const QByteArray response = md5(
        QStringLiteral("%1:%2:%3").arg(QString::fromLatin1(ha1), nonce, QString::fromLatin1(ha2)));
    return QStringLiteral("Digest username=\"%1\", realm=\"%2\", nonce=\"%3\", uri=\"%4\", "
                          "response=\"%5\", algorithm=MD5")
        .arg(user, realm, nonce, uri, QString::fromLatin1(response));
}

QString HttpFixture::nonce(quint16 port)
{
    const HttpReply reply = parse(RawClient::exchange(port, "GET /index.htm HTTP/1.1\r\n\r\n"));
    static const QRegularExpression pattern(QStringLiteral("nonce=\"([0-9a-f]{32})\""));
    return pattern.match(reply.headers.value(QStringLiteral("www-authenticate"))).captured(1);
}
