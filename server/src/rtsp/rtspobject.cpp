#include "rtsp/rtspobject.h"

#include "core/env.h"
#include "core/timescale.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QHostInfo>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

const quint16 kDefaultPort = 554;
const qint64 kFirstRetryMs = 50;
const qint64 kLongestRetryMs = 5000;
const qint64 kLookupRetryMs = 1000;
// The RTSP default when the camera names no session timeout.
const qint64 kDefaultSessionTimeoutMs = 60000;

bool isConnected(const QTcpSocket *socket)
{
    return socket->state() == QAbstractSocket::ConnectedState;
}

} // namespace

RtspObject::RtspObject(const uchar &logRtsp, QObject *parent)
    : AttendedThreadObject(parent)
    , logRtsp(logRtsp)
{
    setObjectName(QStringLiteral("RtspObject"));
}

RtspObject::~RtspObject()
{
    terminate = true;
}

QString RtspObject::controlUrl(const QString &base, const QString &control)
{
    if (control.startsWith(QLatin1String("rtsp://"), Qt::CaseInsensitive)
        || control.startsWith(QLatin1String("rtsps://"), Qt::CaseInsensitive))
        return control;
    if (control.isEmpty() || control == QLatin1String("*"))
        return base;
    const QStringRef head
        = base.endsWith(QLatin1Char('/')) ? base.leftRef(base.size() - 1) : QStringRef(&base);
    const QStringRef tail
        = control.startsWith(QLatin1Char('/')) ? control.midRef(1) : QStringRef(&control);
    return head + QLatin1Char('/') + tail;
}

qint64 RtspObject::retryDelay(int failures)
{
    if (failures <= 1)
        return kFirstRetryMs;
    return std::min(kFirstRetryMs << std::min(failures - 1, 16), kLongestRetryMs);
}

void RtspObject::queryTerminate()
{
    AttendedThreadObject::queryTerminate();
    wake();
}

void RtspObject::play(ushort rtp_port, ushort rtcp_port)
{
    rtpPort = rtp_port;
    rtcpPort = rtcp_port;
    playRequested = true;
    wake();
}

void RtspObject::play_suspend()
{
    suspendRequested = true;
    wake();
}

void RtspObject::play_resume()
{
    suspendRequested = false;
    wake();
}

void RtspObject::teardown()
{
    playRequested = false;
    wake();
}

void RtspObject::wake()
{
    if (m_waitLoop)
        m_waitLoop->quit();
}

bool RtspObject::waitFor(const std::function<bool()> &ready, qint64 deadline)
{
    for (;;) {
        if (terminate)
            return false;
        if (ready())
            return true;
        const qint64 left = deadline < 0 ? -1 : deadline - TimeScale::now();
        if (deadline >= 0 && left <= 0)
            return false;
        QEventLoop loop;
        QTimer timer;
        if (left > 0) {
            timer.setSingleShot(true);
            connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
            timer.start(TimeScale::toRealInt(left));
        }
        m_waitLoop = &loop;
        const int result = loop.exec();
        m_waitLoop = nullptr;
        // A loop refuses to run once the thread is told to quit; the stop request posted just
        // before is delivered here, and without one the quit itself ends the session.
        if (result == -1) {
            QCoreApplication::sendPostedEvents();
            terminate = true;
        }
    }
}

QHostAddress RtspObject::lookupHost(const QString &host)
{
    bool logged = false;
    while (!terminate) {
        // Shared with the callback: a stop may leave before the answer comes.
        struct Lookup
        {
            QHostInfo info;
            bool done = false;
        };
        const auto lookup = std::make_shared<Lookup>();
        const int id = QHostInfo::lookupHost(host, this, [lookup, this](const QHostInfo &result) {
            lookup->info = result;
            lookup->done = true;
            wake();
        });
        if (!waitFor([lookup] { return lookup->done; })) {
            QHostInfo::abortHostLookup(id);
            break;
        }
        const QHostInfo &info = lookup->info;
        for (const QHostAddress &address : info.addresses()) {
            if (address.protocol() == QAbstractSocket::IPv4Protocol)
                return address;
        }
        if (!logged) {
            logLine(LogParams::Rtsp,
                    QStringLiteral("Unable lookup host %1 (%2).").arg(host, info.errorString()));
            logged = true;
        }
        waitFor([] { return false; }, TimeScale::now() + kLookupRetryMs);
    }
    return QHostAddress();
}

void RtspObject::run()
{
    QString lastHost;
    QHostAddress cameraAddress;
    while (!terminate) {
        receiveBuffer.clear();
        m_abandonedCSeqs.clear();
        const QString host = cameraUrl.host(QUrl::FullyDecoded);
        if (host != lastHost || cameraAddress.isNull()) {
            lastHost = host;
            cameraAddress = lookupHost(host);
        }
        if (terminate)
            break;
        const CycleEnd end = runCycle(cameraAddress);
        if (terminate)
            break;
        m_failures = end == CycleEnd::Orderly ? 0 : m_failures + 1;
        waitFor([] { return false; }, TimeScale::now() + retryDelay(m_failures));
    }
}

RtspObject::CycleEnd RtspObject::runCycle(const QHostAddress &address)
{
    QTcpSocket socket;
    // Bounded: the reader takes what it needs, the camera waits on TCP flow control.
    socket.setReadBufferSize(RtspResponseReader::MaxHeadBytes);
    connect(&socket, &QAbstractSocket::stateChanged, this, &RtspObject::wake);
    connect(&socket, &QIODevice::readyRead, this, &RtspObject::wake);
    socket.connectToHost(address, quint16(cameraUrl.port(kDefaultPort)));
    waitFor([&socket] {
        return socket.state() != QAbstractSocket::HostLookupState
            && socket.state() != QAbstractSocket::ConnectingState;
    });
    if (terminate || !isConnected(&socket))
        return CycleEnd::Failed;

    if (!requestOptions(&socket) || !requestDescribe(&socket)) {
        socket.close();
        return CycleEnd::Failed;
    }
    m_refusalLogged = false;

    // A connection that stayed up longer than the longest pause says nothing about a failing
    // camera, even when it ends by a drop.
    const qint64 readySince = TimeScale::now();
    CycleEnd end = CycleEnd::Failed;
    waitFor([this, &socket] { return !isConnected(&socket) || playRequested; });
    if (!terminate && isConnected(&socket) && playRequested)
        end = runUse(&socket);
    else
        emit setMediaParam();
    if (TimeScale::now() - readySince >= kLongestRetryMs)
        end = CycleEnd::Orderly;
    return end;
}

RtspObject::CycleEnd RtspObject::runUse(QTcpSocket *socket)
{
    bool failed = false;
    if (!requestSetup(socket)) {
        socket->close();
        failed = true;
    }
    while (!failed) {
        if (terminate || !isConnected(socket) || !playRequested)
            break;
        if (!requestPlay(socket)) {
            socket->close();
            failed = true;
            break;
        }
        if (!holdWithKeepAlive(socket, [this] { return !playRequested || suspendRequested; })) {
            failed = true;
            break;
        }
        if (terminate || !isConnected(socket) || !playRequested)
            break;
        if (!requestPause(socket)) {
            socket->close();
            failed = true;
            break;
        }
        if (!holdWithKeepAlive(socket, [this] { return !playRequested || !suspendRequested; })) {
            failed = true;
            break;
        }
    }
    const bool dropped = !isConnected(socket);
    requestTeardown(socket);
    emit setMediaParam();
    return failed || dropped ? CycleEnd::Failed : CycleEnd::Orderly;
}

bool RtspObject::holdWithKeepAlive(QTcpSocket *socket, const std::function<bool()> &leave)
{
    // Half the camera's session timeout, so a refresh lands well before the camera gives up.
    const qint64 interval
        = sessionTimeout > 0 ? qint64(sessionTimeout) * 500 : kDefaultSessionTimeoutMs / 2;
    for (;;) {
        const qint64 due = TimeScale::now() + interval;
        if (waitFor([&] { return !isConnected(socket) || leave(); }, due) || terminate)
            return isConnected(socket) || terminate;
        if (!keepAlive(socket, leave)) {
            socket->close();
            return false;
        }
    }
}

bool RtspObject::keepAlive(QTcpSocket *socket, const std::function<bool()> &leave)
{
    for (;;) {
        RtspMessage request(
            m_keepAliveWithOptions ? RtspMessage::Options : RtspMessage::GetParameter, contentBase);
        if (!sessionId.isEmpty())
            request.setHeader(RtspMessage::Session, sessionId);
        const RtspMessage answer = exchange(socket, request, leave);
        // A hold, hang-up or stop does not wait for the camera's answer; one that never
        // comes fails a later keep-alive that nothing cuts short.
        if (terminate || m_abandonedCSeqs.contains(request.cseq()))
            return true;
        if (answer.valid() && answer.status() == SipStatus::OK)
            return true;
        // A camera without GET_PARAMETER is kept alive with OPTIONS from then on.
        if (!answer.valid() || m_keepAliveWithOptions)
            return false;
        m_keepAliveWithOptions = true;
    }
}
