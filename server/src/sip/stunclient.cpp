#include "sip/stunclient.h"

#include "core/env.h"
#include "core/identifiers.h"
#include "core/timescale.h"
#include "sip/stunmessage.h"

namespace {

void log(const QString &text)
{
    logLine(LogParams::Stun, text);
}

} // namespace

StunClient::StunClient(const QString &server, QObject *parent)
    : QObject(parent)
    , m_StunServer(server)
    , m_StunSocket(this)
    , m_StunTimer(this)
    , m_LookupRetry(this)
{
    const QStringList fields = server.split(QLatin1Char(':'));
    m_StunHost = fields.value(0);
    if (fields.size() > 1) {
        const quint16 port = quint16(fields.at(1).toUInt());
        m_StunPort = port == 0 ? DefaultPort : port;
    }
    m_StunTimer.setInterval(TimeScale::toRealInt(IntervalMs));
    connect(&m_StunTimer, &QTimer::timeout, this, &StunClient::checkStunServer);
    m_LookupRetry.setSingleShot(true);
    connect(&m_LookupRetry, &QTimer::timeout, this, &StunClient::lookUp);
    connect(&m_StunSocket, &QIODevice::readyRead, this, &StunClient::readyReadStun);
}

void StunClient::initStunServer()
{
    if (m_StunServer.isEmpty()) {
        log(QStringLiteral("STUN server is disabled"));
        return;
    }
    log(QStringLiteral("STUN server is enabled"));
    lookUp();
}

void StunClient::stop()
{
    m_Stopped = true;
    if (m_LookupId >= 0)
        QHostInfo::abortHostLookup(m_LookupId);
    m_LookupId = -1;
    m_LookupRetry.stop();
    m_StunTimer.stop();
    m_StunSocket.abort();
}

void StunClient::lookUp()
{
    if (m_Stopped)
        return;
    if (!m_LookupFailed)
        log(QStringLiteral("Start STUN server '%1' lookup ...").arg(m_StunHost));
    ++m_Lookups;
    m_LookupId = QHostInfo::lookupHost(m_StunHost, this, SLOT(lookedUpStun(QHostInfo)));
}

void StunClient::lookedUpStun(const QHostInfo &host)
{
    m_LookupId = -1;
    if (m_Stopped)
        return;
    for (const QHostAddress &address : host.addresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            m_StunAddress = address;
            break;
        }
    }
    if (m_StunAddress == QHostAddress(QHostAddress::AnyIPv4)) {
        // A resolver that fails at once must not be asked again at once, nor logged each time.
        if (!m_LookupFailed)
            log(QStringLiteral("Unable lookup STUN server host %1").arg(m_StunHost));
        m_LookupFailed = true;
        m_LookupRetry.start(TimeScale::toRealInt(m_RetryMs));
        m_RetryMs = qMin(m_RetryMs * 2, IntervalMs);
        return;
    }
    log(QStringLiteral("Lookup complete for STUN server '%1' address: '%2")
            .arg(m_StunHost, m_StunAddress.toString()));
    log(QStringLiteral("Start STUN server initialization ..."));
    connectToServer();
}

void StunClient::connectToServer()
{
    if (!m_StunSocket.bind(QHostAddress(QHostAddress::AnyIPv4), 0)) {
        log(QStringLiteral("Error of STUN server initialization: %1")
                .arg(m_StunSocket.errorString()));
        return;
    }
    log(QStringLiteral("Start connecting to STUN server '%1:%2'...")
            .arg(m_StunHost)
            .arg(m_StunPort));
    // A UDP connect only fixes the peer: it completes (or fails) at once.
    m_StunSocket.connectToHost(m_StunAddress, m_StunPort, QIODevice::ReadWrite);
    if (m_StunSocket.state() != QAbstractSocket::ConnectedState) {
        log(QStringLiteral("Error connecting to STUN server '%1:%2': %3")
                .arg(m_StunHost)
                .arg(m_StunPort)
                .arg(m_StunSocket.errorString()));
        return;
    }
    log(QStringLiteral("Connect to STUN server '%1:%2' is successful")
            .arg(m_StunHost)
            .arg(m_StunPort));
    checkStunServer();
    m_StunTimer.start();
}

void StunClient::checkStunServer()
{
    if (m_StunServer.isEmpty() || m_StunSocket.state() != QAbstractSocket::ConnectedState)
        return;
    // A fresh id per request: only the answer to it is believed.
    m_TransactionId = randomBinaryId().left(StunTransactionIdSize);
    uchar request[StunRequestSize];
    stunBindingRequest(request, reinterpret_cast<const uchar *>(m_TransactionId.constData()));
    m_StunSocket.write(reinterpret_cast<const char *>(request), StunRequestSize);
}

void StunClient::readyReadStun()
{
    if (m_StunServer.isEmpty() || m_StunSocket.state() != QAbstractSocket::ConnectedState)
        return;
    // Read at least once: a connected socket is also woken by the ICMP error of a request that
    // found no server yet, and only a read takes that error and lets the socket wake again.
    do {
        uchar datagram[MaxDatagram];
        const qint64 size
            = m_StunSocket.readDatagram(reinterpret_cast<char *>(datagram), MaxDatagram);
        if (size < 0)
            break;
        if (size == 0)
            continue;
        const StunAnswer answer = stunParseResponse(datagram, int(size));
        if (!answer.valid || answer.address == 0 || answer.transactionId != m_TransactionId) {
            log(QStringLiteral("Error external IP detect for '%1'").arg(m_StunHost));
            continue;
        }
        const QString address = QHostAddress(answer.address).toString();
        emit stunServer(address);
        log(QStringLiteral("External IP detected: %1").arg(address));
    } while (m_StunSocket.hasPendingDatagrams());
}
