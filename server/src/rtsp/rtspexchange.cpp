#include "rtsp/rtspdigest.h"
#include "rtsp/rtspobject.h"

#include "core/env.h"
#include "core/timescale.h"
#include "sip/message/kparamvalue.h"

#include <QTcpSocket>

namespace {

// However slowly its bytes come, an answer has this long from the start of the read.
const qint64 kAnswerLimitMs = 30000;

bool isConnected(const QTcpSocket *socket)
{
    return socket && socket->state() == QAbstractSocket::ConnectedState;
}

bool isOk(const RtspMessage &answer)
{
    return answer.valid() && answer.status() == SipStatus::OK;
}

bool isChallenge(const RtspMessage &answer)
{
    return answer.status() == SipStatus::Unauthorized
        || answer.status() == SipStatus::ProxyAuthenticationRequired;
}

} // namespace

QString RtspObject::configuredUrl() const
{
    return cameraUrl.toString();
}

RtspMessage RtspObject::exchange(QTcpSocket *socket, RtspMessage request,
                                 const std::function<bool()> &giveUp)
{
    bool mayRetry = true;
    for (;;) {
        const QByteArray bytes = request.toByteArray();
        socket->write(bytes);
        socket->flush();
        if (logRtsp)
            logLine(LogParams::Rtsp, QString::fromUtf8(bytes));
        const RtspMessage answer = readResponse(socket, request.cseq(), giveUp);
        if (logRtsp)
            logLine(LogParams::Rtsp, QString::fromUtf8(answer.toByteArray()));
        const bool credentialsSent = !mayRetry;
        if (applyAuthChallenge(request, answer, mayRetry))
            continue;
        if (credentialsSent && isChallenge(answer) && !m_refusalLogged) {
            // Once per series of failing cycles: the session keeps retrying with back-off.
            logLine(LogParams::Rtsp,
                    QStringLiteral("Camera %1 refused the credentials of user '%2'.")
                        .arg(request.uri(), login));
            m_refusalLogged = true;
        }
        return answer;
    }
}

RtspMessage RtspObject::readResponse(QTcpSocket *socket, uint expectedCSeq,
                                     const std::function<bool()> &giveUp)
{
    if (!socket || terminate)
        return RtspMessage();
    const qint64 deadline = TimeScale::now() + kAnswerLimitMs;
    for (;;) {
        receiveBuffer.append(socket->readAll());
        RtspMessage message;
        QString error;
        switch (receiveBuffer.next(&message, &error)) {
        case RtspResponseReader::Complete:
            // A late answer to a request given up on; the awaited one may still follow.
            if (message.kind() == 1 && message.cseq() != expectedCSeq
                && m_abandonedCSeqs.removeOne(message.cseq()))
                continue;
            return message.valid() && message.kind() == 1 && message.cseq() == expectedCSeq
                ? message
                : RtspMessage();
        case RtspResponseReader::Failed:
            logLine(LogParams::Rtsp, error);
            return RtspMessage();
        case RtspResponseReader::Incomplete:
            break;
        }
        if (!isConnected(socket))
            return RtspMessage();
        if (giveUp && giveUp()) {
            m_abandonedCSeqs += expectedCSeq;
            return RtspMessage();
        }
        if (!waitFor(
                [socket, &giveUp] {
                    return socket->bytesAvailable() > 0 || !isConnected(socket)
                        || (giveUp && giveUp());
                },
                deadline))
            return RtspMessage();
    }
}

bool RtspObject::applyAuthChallenge(RtspMessage &request, const RtspMessage &answer, bool &mayRetry)
{
    if (!isChallenge(answer) || !mayRetry)
        return false;
    mayRetry = false;
    const bool proxy = answer.status() == SipStatus::ProxyAuthenticationRequired;
    const int challengeHeader
        = proxy ? RtspMessage::ProxyAuthenticate : RtspMessage::WWWAuthenticate;
    request.setHeader(proxy ? RtspMessage::ProxyAuthorization : RtspMessage::Authorization,
                      authorize(challengeHeader, request, answer));
    return true;
}

QString RtspObject::authorize(const int &challengeHeader, const RtspMessage &request,
                              const RtspMessage &answer)
{
    const QStringList challenges = answer.headerValues(RtspMessage::Header(challengeHeader));
    if (challenges.isEmpty())
        return QString();
    return RtspDigest::answer(challenges.first(), RtspMessage::methodName(request.method()),
                              request.uri(), login, password, nonceCount);
}

bool RtspObject::requestOptions(QTcpSocket *socket)
{
    if (!socket)
        return false;
    sessionId.clear();
    sessionTimeout = 0;
    controlAttribute.clear();
    contentBase.clear();
    return isOk(exchange(socket, RtspMessage(RtspMessage::Options, configuredUrl())));
}

bool RtspObject::requestDescribe(QTcpSocket *socket)
{
    if (!isConnected(socket))
        return false;
    sessionId.clear();
    sessionTimeout = 0;
    controlAttribute.clear();
    contentBase.clear();
    RtspMessage request(RtspMessage::Describe, configuredUrl());
    request.setHeader(RtspMessage::Accept, QStringLiteral("application/sdp"));
    const RtspMessage answer = exchange(socket, request);
    if (!isOk(answer))
        return false;
    contentBase = answer.contentBase().trimmed();
    if (contentBase.isEmpty())
        contentBase = configuredUrl();
    uchar codec = 255;
    QString info;
    QString fmtp;
    QString control;
    if (!RtspMessage::parseVideoSdp(answer.body(), codec, info, fmtp, control))
        return false;
    controlAttribute = control;
    emit setMediaParam(codec, info, QString());
    return true;
}

bool RtspObject::requestSetup(QTcpSocket *socket)
{
    if (!isConnected(socket))
        return false;
    RtspMessage request(RtspMessage::Setup, controlUrl(contentBase, controlAttribute));
    request.setTransport(rtpPort, rtcpPort);
    if (!sessionId.isEmpty())
        request.setHeader(RtspMessage::Session, sessionId);
    const RtspMessage answer = exchange(socket, request);
    if (!isOk(answer))
        return false;
    if (!answer.session().isEmpty()) {
        sessionId = answer.session();
        sessionTimeout = answer.sessionTimeout();
    }
    const KParamValue transport(answer.headerValue(RtspMessage::Transport, 0));
    const QStringList ports
        = transport.param(QStringLiteral("server_port")).split(QLatin1Char('-'));
    if (ports.size() != 2)
        return false;
    const QHostAddress peer = socket->peerAddress();
    emit setVelkVideo(peer, ports.at(0).toUShort(), peer, ports.at(1).toUShort());
    return true;
}

bool RtspObject::requestPlay(QTcpSocket *socket)
{
    if (!isConnected(socket))
        return false;
    RtspMessage request(RtspMessage::Play, contentBase);
    if (!sessionId.isEmpty())
        request.setHeader(RtspMessage::Session, sessionId);
    request.setHeader(RtspMessage::Range, QStringLiteral("npt=0.000-"));
    return isOk(exchange(socket, request));
}

bool RtspObject::requestPause(QTcpSocket *socket)
{
    if (!isConnected(socket))
        return false;
    RtspMessage request(RtspMessage::Pause, contentBase);
    request.setHeader(RtspMessage::Session, sessionId);
    return exchange(socket, request).valid();
}

bool RtspObject::requestTeardown(QTcpSocket *socket)
{
    if (!isConnected(socket) || sessionId.isEmpty())
        return false;
    RtspMessage request(RtspMessage::Teardown, contentBase);
    request.setHeader(RtspMessage::Session, sessionId);
    return isOk(exchange(socket, request));
}
