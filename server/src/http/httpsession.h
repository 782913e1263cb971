#pragma once

#include <QString>
#include <QTimer>

class Http;

// One issued digest nonce and the browser that uses it. Ends at its first time-out; every
// request that presents the nonce for a known user starts the period again.
class HttpSession : public QTimer
{
    Q_OBJECT
public:
    HttpSession(const QString &remoteAddress, int expiresSeconds, Http *parent);
    ~HttpSession() override;

    QString nonce() const { return m_nonce; }
    QString userName() const { return m_userName; }
    QString displayName() const { return m_displayName; }
    QString remoteAddress() const { return m_remoteAddress; }
    bool isBound() const { return !m_userName.isEmpty(); }

    // Binds the session to the user at its first successful check, with the full lifetime.
    void bind(const QString &userName, const QString &displayName);
    void touch();

    static QString objectNameFor(const QString &nonce);
    static qint64 liveCount();

    // A nonce nobody logged in with lives at most this long: a browser answers at once.
    static constexpr qint64 unboundLifeMs = 60000;

private:
    QString m_nonce;
    QString m_userName;
    QString m_displayName;
    QString m_remoteAddress;
    qint64 m_expiresMs;
};
