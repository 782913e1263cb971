#pragma once

#include "core/coreobject.h"

#include <QByteArray>
#include <QHostAddress>

// One server request to a door panel waiting for the panel's answer: sent at once, resent on a
// doubling timer (0, 0.5, 1.5, 3.5, 7.5 s) and reported with -1 at 15.5 s when no answer came.
// Its object name is the answer key, by which an arriving answer finds it. A request goes at
// once when answered and a grace period after it gave up, so none outlives its use.
class VelkPacket : public CoreObject
{
    Q_OBJECT
public:
    static constexpr int kSends = 5;
    static constexpr qint64 kFirstIntervalMs = 500;
    // How long a request that gave up still takes a late answer.
    static constexpr qint64 kLateAnswerGraceMs = 8000;

    VelkPacket(const QHostAddress &address, quint16 port, const QByteArray &datagram,
               QObject *parent = nullptr);

    static QString key(const QByteArray &datagram);
    // The request among the root's descendants that the answer belongs to; null when none.
    static VelkPacket *find(const QObject *root, const QByteArray &answer);
    // Drops every pending request of the owner at once without reporting any: what a device
    // does when it unregisters. Returns how many went.
    static int discardAll(QObject *owner);

    int send();
    void onAnswer(const QByteArray &answer);
    // Drops the request at once without reporting it: what it asked for no longer holds.
    void discard() { finish(); }

    QByteArray datagram() const { return m_Datagram; }
    int retries() const { return m_Retries; }

signals:
    void recvAnswer(int result, QByteArray cmd, QByteArray answer = QByteArray());
    void sendDatagram(QHostAddress address, ushort port, QByteArray datagram);

public slots:
    void isRegisteredChanged(ushort device, bool state);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void stopTimer();
    void finish();

    QHostAddress m_Address;
    quint16 m_Port;
    QByteArray m_Datagram;
    int m_Retries = 0;
    int m_TimerId = 0;
    bool m_GaveUp = false;
};
