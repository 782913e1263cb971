#include "service/qtservice/qtservicesysprivate.h"

#include "service/qtservice/qtservicebase.h"

#include <QLocalSocket>

QtServiceSysPrivate::QtServiceSysPrivate(QtServiceBase *owner, QObject *parent)
    : QLocalServer(parent)
    , service(owner)
{
}

void QtServiceSysPrivate::incomingConnection(quintptr socketDescriptor)
{
    auto *socket = new QLocalSocket(this);
    socket->setSocketDescriptor(socketDescriptor, QLocalSocket::ConnectedState,
                                QIODevice::ReadWrite);
    connect(socket, &QLocalSocket::readyRead, this, &QtServiceSysPrivate::slotReady);
    connect(socket, &QLocalSocket::disconnected, this, &QtServiceSysPrivate::slotClosed);
}

bool QtServiceSysPrivate::answer(const QString &command)
{
    if (command == QLatin1String("terminate")) {
        if (serviceFlags & QtServiceBase::CannotBeStopped)
            return false;
        service->stop();
        return true;
    }
    if (command == QLatin1String("pause") || command == QLatin1String("resume")) {
        if (!(serviceFlags & QtServiceBase::CanBeSuspended))
            return false;
        if (command == QLatin1String("pause"))
            service->pause();
        else
            service->resume();
        return true;
    }
    if (command == QLatin1String("alive"))
        return true;
    if (command.size() > 4 && command.startsWith(QLatin1String("num:"))) {
        service->processCommand(command.mid(4).toInt());
        return true;
    }
    return false;
}

void QtServiceSysPrivate::slotReady()
{
    auto *socket = qobject_cast<QLocalSocket *>(sender());
    if (!socket || socket->state() != QLocalSocket::ConnectedState)
        return;

    QByteArray data = socket->readAll();
    const int nul = data.indexOf('\0');
    if (nul >= 0)
        data.truncate(nul);
    // A copy, not a reference into the table: a failed answer write drops the connection,
    // and slotClosed removes its entry at once.
    QString text = pending.take(socket) + QString::fromUtf8(data);

    const QString crlf = QStringLiteral("\r\n");
    while (socket->state() == QLocalSocket::ConnectedState) {
        const int end = text.indexOf(crlf);
        if (end < 0)
            break;
        const QString command = text.left(end);
        text.remove(0, end + 2);
        // An empty line ends this round; what follows waits for the next data.
        if (command.isEmpty())
            break;
        socket->write(answer(command) ? "true" : "false");
        socket->flush();
    }

    if (socket->state() != QLocalSocket::ConnectedState)
        return;
    // A peer that never ends its line must not make us hold its text without limit.
    if (text.size() > MaxPendingText) {
        socket->write("false");
        socket->flush();
        socket->disconnectFromServer();
        return;
    }
    pending.insert(socket, text);
}

void QtServiceSysPrivate::slotClosed()
{
    auto *socket = qobject_cast<QLocalSocket *>(sender());
    if (!socket)
        return;
    pending.remove(socket);
    socket->deleteLater();
}
