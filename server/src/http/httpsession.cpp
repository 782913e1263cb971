#include "http/httpsession.h"

#include "core/env.h"
#include "core/identifiers.h"
#include "core/timescale.h"
#include "http/http.h"

#include <atomic>

namespace {

std::atomic<qint64> liveSessions { 0 };

} // namespace

HttpSession::HttpSession(const QString &remoteAddress, int expiresSeconds, Http *parent)
    : QTimer(parent)
    , m_nonce(randomHexId())
    , m_remoteAddress(remoteAddress)
    , m_expiresMs(qMax<qint64>(1, expiresSeconds) * 1000)
{
    setObjectName(objectNameFor(m_nonce));
    setSingleShot(true);
    connect(this, &QTimer::timeout, this, &QObject::deleteLater);
    setInterval(TimeScale::toRealInt(qMin(m_expiresMs, unboundLifeMs)));
    start();
    logLine(LogParams::Http,
            QStringLiteral("Create http session from '%1@%2'").arg(m_userName, m_remoteAddress));
    logLine(LogParams::Debug, QStringLiteral("HttpSession() %1").arg(++liveSessions));
}

HttpSession::~HttpSession()
{
    logLine(LogParams::Http,
            QStringLiteral("Remove http session for '%1@%2'").arg(m_userName, m_remoteAddress));
    --liveSessions;
}

void HttpSession::bind(const QString &userName, const QString &displayName)
{
    m_userName = userName;
    m_displayName = displayName;
    touch();
}

void HttpSession::touch()
{
    setInterval(TimeScale::toRealInt(isBound() ? m_expiresMs : qMin(m_expiresMs, unboundLifeMs)));
    start();
}

QString HttpSession::objectNameFor(const QString &nonce)
{
    return QStringLiteral("__http_session_%1").arg(nonce);
}

qint64 HttpSession::liveCount()
{
    return liveSessions;
}
