#pragma once

#include "../toolkit.h"
#include "conversation/conversationcaller.h"
#include "conversation/conversationthread.h"

#include <QNetworkDatagram>
#include <QPointer>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtEndian>
#include <QtTest>

#include <memory>

// A far end on loopback: sends RTP the way a phone would and keeps what the conversation
// sends back.
class RtpPeer : public QObject
{
public:
    struct Packet
    {
        QByteArray data;
    };

    RtpPeer()
    {
        socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
        connect(&socket, &QUdpSocket::readyRead, this, [this] {
            while (socket.hasPendingDatagrams())
                packets.append({ socket.receiveDatagram().data() });
        });
    }
    quint16 port() const { return socket.localPort(); }
    void sendTo(quint16 port, const QByteArray &datagram)
    {
        socket.writeDatagram(datagram, QHostAddress::LocalHost, port);
    }
    // One RTP packet with the given fields and a fixed SSRC.
    void sendRtp(quint16 port, quint8 payloadType, quint16 sequence, quint32 timestamp,
                 const QByteArray &payload, bool marker = false)
    {
        QByteArray p(12, '\0');
        p[0] = char(0x80);
        p[1] = char((marker ? 0x80 : 0) | payloadType);
        qToBigEndian(sequence, p.data() + 2);
        qToBigEndian(timestamp, p.data() + 4);
        qToBigEndian(quint32(0x11223344), p.data() + 8);
        sendTo(port, p + payload);
    }
    QList<Packet> packets;

private:
    QUdpSocket socket;
};

// One conversation on ephemeral ports with spies on everything it reports.
struct Conversation
{
    explicit Conversation(ConversationType type = 1, const QString &name = QStringLiteral("conv"))
        : name(name)
    {
        QUdpSocket *s[4];
        for (auto &socket : s) {
            socket = new QUdpSocket;
            socket->bind(QHostAddress(QHostAddress::AnyIPv4), 0);
        }
        conv = new ConversationThread(type, name, s[0], s[1], true, s[2], s[3]);
        alive = conv;
        bye.reset(new QSignalSpy(conv, &ConversationThread::lastBye));
        cancel.reset(new QSignalSpy(conv, &ConversationThread::lastCancel));
        move.reset(new QSignalSpy(conv, &ConversationThread::moveCaller));
        info.reset(new QSignalSpy(conv, &ConversationThread::sendSipInfo));
        // Records leave the conversation's thread by a direct connection; collect them
        // through a queued hop so that the test thread alone touches the list.
        using Smdr = void (ConversationThread::*)(QDateTime, QString, QString, qlonglong,
                                                  QSmdrAction::Type, QString);
        smdr.reset(new QList<QList<QVariant>>);
        QList<QList<QVariant>> *records = smdr.get();
        QObject::connect(
            conv, static_cast<Smdr>(&ConversationThread::smdrLog), collector.get(),
            [records](QDateTime t, QString src, QString dest, qlonglong d, QSmdrAction::Type a,
                      QString attr) {
                records->append({ t, src, dest, d, QVariant::fromValue(a), attr });
            },
            Qt::QueuedConnection);
    }
    ~Conversation()
    {
        if (alive)
            delete conv;
    }

    // A SIP leg whose RTP comes from and goes to port on loopback.
    void addSip(const QString &callId, const QString &user, quint16 port, uchar payload = 8,
                SipSdpAction::Type direction = SipSdpAction::SendRecv, qulonglong timeout = 10)
    {
        const QHostAddress lo(QHostAddress::LocalHost);
        emit conv->appendCaller(timeout, user, SipMessage(callId), payload, lo, port, lo, 0,
                                direction);
    }
    // Alice on a and Bob on b, both answered; true once both legs are in.
    bool talking(const RtpPeer *a, const RtpPeer *b, uchar bPayload = 8, qulonglong timeout = 10)
    {
        addSip("a", "alice", a->port(), 8, SipSdpAction::SendRecv, timeout);
        addSip("b", "bob", b->port(), bPayload, SipSdpAction::SendRecv, timeout);
        emit conv->acceptCaller("a");
        emit conv->acceptCaller("b");
        return QTest::qWaitFor([this] { return conv->callerNames().size() == 2; }, 8000);
    }
    // A door-device leg; its frames to the device land in frames.
    ConversationCaller *addVelk(const QString &callId, const QString &user,
                                QList<QPair<qulonglong, QByteArray>> *frames = nullptr)
    {
        auto *c = new ConversationCaller;
        c->initVelk(10, user, callId, SipSdpAction::SendRecv, 96, QHostAddress::AnyIPv4, 0,
                    QHostAddress::AnyIPv4, 0, SipSdpAction::SendRecv);
        if (frames) {
            QObject::connect(
                c, &ConversationCaller::toDevice, conv,
                [frames](qulonglong id, QByteArray a) { frames->append(qMakePair(id, a)); },
                Qt::QueuedConnection);
        }
        conv->addCallerObject(callId, c);
        return c;
    }
    bool ended(int ms = 8000)
    {
        return QTest::qWaitFor([this] { return alive.isNull(); }, ms);
    }
    quint16 rtpPort() const { return conv->audioRtpPort(); }
    // Record i as "source destination action attribute".
    QString record(int i) const
    {
        const QList<QVariant> &r = smdr->at(i);
        return QStringList { r[1].toString(), r[2].toString(), QSmdrAction::code(r[4].toInt()),
                             r[5].toString() }
            .join(' ');
    }

    QString name;
    ConversationThread *conv;
    QPointer<ConversationThread> alive;
    std::unique_ptr<QObject> collector { new QObject };
    std::unique_ptr<QSignalSpy> bye, cancel, move, info;
    std::unique_ptr<QList<QList<QVariant>>> smdr;
};
