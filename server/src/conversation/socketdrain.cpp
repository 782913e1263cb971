#include "conversation/socketdrain.h"

#include <QUdpSocket>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>

bool SocketDrain::next(QUdpSocket *socket, Datagram *out)
{
    const qintptr fd = socket ? socket->socketDescriptor() : -1;
    if (fd < 0)
        return false;
    if (m_Buffer.isEmpty())
        m_Buffer.resize(65536);
    sockaddr_storage from {};
    for (;;) {
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(int(fd), m_Buffer.data(), size_t(m_Buffer.size()), 0,
                                     reinterpret_cast<sockaddr *>(&from), &length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        out->data = QByteArray(m_Buffer.constData(), int(n));
        out->sender.setAddress(reinterpret_cast<const sockaddr *>(&from));
        out->port = from.ss_family == AF_INET6
            ? ntohs(reinterpret_cast<const sockaddr_in6 *>(&from)->sin6_port)
            : ntohs(reinterpret_cast<const sockaddr_in *>(&from)->sin_port);
        return true;
    }
}
