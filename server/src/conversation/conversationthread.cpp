#include "conversation/conversationthread.h"

#include "conversation/conversationcaller.h"
#include "conversation/conversationobject.h"
#include "conversation/portblocks.h"

#include <QUdpSocket>

namespace {

ushort portOf(const QUdpSocket *socket)
{
    return socket ? socket->localPort() : 0;
}

} // namespace

ConversationThread *ConversationThread::create(const ushort &minPort, const ushort &maxPort,
                                               const ConversationType &type, const bool &video,
                                               const QString &name, QObject *parent)
{
    QUdpSocket *sockets[PortBlocks::BlockSize];
    if (PortBlocks::allocate(minPort, maxPort, sockets) < 0)
        return nullptr;
    return new ConversationThread(type, name, sockets[0], sockets[1], video, sockets[2], sockets[3],
                                  parent);
}

void ConversationThread::registerTypes()
{
    qRegisterMetaType<SipMessage>("SipMessage");
    qRegisterMetaType<SipSdpAction::Type>("SipSdpAction::Type");
    qRegisterMetaType<DtmfType::Type>("DtmfType::Type");
    qRegisterMetaType<SoundWavParam::Type>("SoundWavParam::Type");
    qRegisterMetaType<QDateTime>("QDateTime");
    qRegisterMetaType<QSmdrAction::Type>("QSmdrAction::Type");
    qRegisterMetaType<QHostAddress>("QHostAddress");
    qRegisterMetaType<ConversationCaller *>("ConversationCaller*");
}

ConversationThread::ConversationThread(const ConversationType &type, const QString &name,
                                       QUdpSocket *audioRtpSocket, QUdpSocket *audioRtcpSocket,
                                       const bool &video, QUdpSocket *videoRtpSocket,
                                       QUdpSocket *videoRtcpSocket, QObject *parent)
    : QObject(parent)
    , m_Type(type)
    , m_Created(QDateTime::currentDateTime())
    , m_Thread(this)
    , m_AudioRtpPort(portOf(audioRtpSocket))
    , m_AudioRtcpPort(portOf(audioRtcpSocket))
    , m_VideoRtpPort(portOf(videoRtpSocket))
    , m_VideoRtcpPort(portOf(videoRtcpSocket))
    , m_Video(video)
{
    setObjectName(name);
    registerTypes();
    m_Worker = new ConversationObject(type, name, audioRtpSocket, audioRtcpSocket, videoRtpSocket,
                                      videoRtcpSocket);
    // The sockets are the worker's children and move with it.
    m_Worker->moveToThread(&m_Thread);

    using W = ConversationObject;
    using C = ConversationThread;
    // Direct: the loop runs before the thread's event loop, not inside one of its rounds. Run
    // from a round, its own event delivery would swallow the wake-up of a quit() (with the
    // plain poll dispatcher), and the round left waiting once the loop returns would sleep for
    // good with the quit unseen: the destructor's wait() would never return.
    connect(&m_Thread, &QThread::started, m_Worker, &W::run, Qt::DirectConnection);
    connect(m_Worker, &W::finished, this, &C::deleteLater, Qt::QueuedConnection);
    // Deleted in its own thread as that ends, not by a posted event: the service's last
    // conversations end after the application object is gone, which delivers no event any more.
    connect(
        &m_Thread, &QThread::finished, &m_Thread, [worker = m_Worker] { delete worker; },
        Qt::DirectConnection);

    const auto q = Qt::QueuedConnection;
    connect(this, &C::appendCaller, m_Worker, &W::onAppendCaller, q);
    connect(this, &C::masterSlave, m_Worker, &W::onMasterSlave, q);
    connect(this, &C::appendCallerObject, m_Worker, &W::onAppendCallerObject, q);
    connect(this, &C::acceptCaller, m_Worker, &W::onAcceptCaller, q);
    connect(this, &C::updateCaller, m_Worker, &W::onUpdateCaller, q);
    connect(this, &C::replaceCaller, m_Worker, &W::onReplaceCaller, q);
    connect(this, &C::removeCaller, m_Worker, &W::onRemoveCaller, q);
    connect(this, &C::removeCallerAndBye, m_Worker, &W::onRemoveCallerAndBye, q);
    connect(this, &C::referCaller, m_Worker, &W::onReferCaller, q);
    connect(this, &C::check, m_Worker, &W::onCheck, q);
    connect(this, &C::clearCallers, m_Worker, &W::onClearCallers, q);
    connect(this, &C::hangUp, m_Worker, &W::onHangUp, q);
    connect(this, &C::queryTerminate, m_Worker, &W::onQueryTerminate, q);
    connect(this, &C::appendSipInfo, m_Worker, &W::onAppendSipInfo, q);
    connect(this, &C::resultSipInfo, m_Worker, &W::onResultSipInfo, q);

    connect(m_Worker, &W::sendSipInfo, this, &C::sendSipInfo, q);
    connect(m_Worker, &W::lastBye, this, &C::lastBye, q);
    connect(m_Worker, &W::lastCancel, this, &C::lastCancel, q);
    connect(m_Worker, &W::moveCaller, this, &C::moveCaller, q);
    connect(m_Worker, &W::cacheCaller, this, &C::onCacheCaller, q);
    using Smdr = void (W::*)(QDateTime, QString, QString, qlonglong, QSmdrAction::Type, QString);
    using SmdrOut = void (C::*)(QDateTime, QString, QString, qlonglong, QSmdrAction::Type, QString);
    connect(m_Worker, static_cast<Smdr>(&W::smdrLog), this, static_cast<SmdrOut>(&C::smdrLog),
            Qt::DirectConnection);

    m_Thread.start(QThread::InheritPriority);
}

ConversationThread::~ConversationThread()
{
    emit deleting(objectName());
    // Told straight, not only by the queued signal: a posted event may never be delivered (after
    // the application object is gone), and the wait below would then never end.
    m_Worker->onQueryTerminate();
    emit queryTerminate();
    emit play_end();
    m_Thread.quit();
    m_Thread.wait();
}

void ConversationThread::addCallerObject(const QString &callId, ConversationCaller *caller)
{
    if (caller && caller->thread() == QThread::currentThread())
        caller->moveToThread(&m_Thread);
    emit appendCallerObject(callId, caller);
}

void ConversationThread::onCacheCaller(QString callerName, bool add)
{
    if (add) {
        if (!m_CallerNames.contains(callerName))
            m_CallerNames.append(callerName);
    } else {
        m_CallerNames.removeAll(callerName);
    }
}

void ConversationThread::setMasterSlave(QString master, QString slave)
{
    m_Master = master;
    m_Slave = slave;
    emit masterSlave(master, slave);
}
