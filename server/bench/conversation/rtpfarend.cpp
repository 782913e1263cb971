#include "rtpfarend.h"

#include <QtEndian>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

namespace {

qint64 monoNs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

qint64 realNs()
{
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

int openSocket(quint16 *port)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    const int buffer = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

double percentile(std::vector<double> &v, double p)
{
    if (v.empty())
        return NAN;
    const size_t i = std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5));
    std::nth_element(v.begin(), v.begin() + long(i), v.end());
    return v[i];
}

} // namespace

int runFarEnds(const QVector<quint16> &conversationPorts, int warmupMs, int windowMs)
{
    const int legs = 2 * conversationPorts.size();
    std::vector<int> fds(static_cast<size_t>(legs));
    for (int i = 0; i < legs; ++i) {
        quint16 port = 0;
        fds[size_t(i)] = openSocket(&port);
        std::printf("%u%c", port, i + 1 == legs ? '\n' : ' ');
    }
    std::fflush(stdout);
    char go[16];
    if (!std::fgets(go, sizeof go, stdin))
        return 1;

    const qint64 start = monoNs();
    const qint64 windowStart = start + qint64(warmupMs) * 1000000;
    const qint64 end = windowStart + qint64(windowMs) * 1000000;
    // Kernel stamps are on the real-time clock; the window is translated once.
    const qint64 realOffset = realNs() - monoNs();
    std::atomic<bool> running(true);

    std::thread sender([&] {
        QByteArray packet(12 + 160, char(0xD5));
        packet[0] = char(0x80);
        packet[1] = char(8);
        quint16 seq = 0;
        timespec next;
        clock_gettime(CLOCK_MONOTONIC, &next);
        while (running.load()) {
            qToBigEndian<quint16>(seq, packet.data() + 2);
            qToBigEndian<quint32>(quint32(seq) * 160, packet.data() + 4);
            ++seq;
            for (int i = 0; i < legs; ++i) {
                sockaddr_in to {};
                to.sin_family = AF_INET;
                to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                to.sin_port = htons(conversationPorts[i / 2]);
                sendto(fds[size_t(i)], packet.constData(), size_t(packet.size()), 0,
                       reinterpret_cast<sockaddr *>(&to), sizeof to);
            }
            next.tv_nsec += 20000000;
            if (next.tv_nsec >= 1000000000) {
                next.tv_nsec -= 1000000000;
                ++next.tv_sec;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        }
    });

    std::vector<qint64> last(static_cast<size_t>(legs), 0);
    std::vector<double> gaps;
    gaps.reserve(size_t(legs) * size_t(windowMs / 20 + 10));
    quint64 received = 0;
    std::vector<pollfd> pfds(static_cast<size_t>(legs));
    for (int i = 0; i < legs; ++i)
        pfds[size_t(i)] = { fds[size_t(i)], POLLIN, 0 };
    char buffer[2048];
    char control[256];
    while (monoNs() < end) {
        if (poll(pfds.data(), nfds_t(legs), 50) <= 0)
            continue;
        for (int i = 0; i < legs; ++i) {
            if (!(pfds[size_t(i)].revents & POLLIN))
                continue;
            for (;;) {
                iovec io { buffer, sizeof buffer };
                msghdr m {};
                m.msg_iov = &io;
                m.msg_iovlen = 1;
                m.msg_control = control;
                m.msg_controllen = sizeof control;
                if (recvmsg(fds[size_t(i)], &m, 0) < 0)
                    break;
                qint64 stamp = realNs();
                for (cmsghdr *c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
                    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                        timespec t;
                        memcpy(&t, CMSG_DATA(c), sizeof t);
                        stamp = qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
                    }
                }
                const qint64 mono = stamp - realOffset;
                if (mono >= windowStart && last[size_t(i)] >= windowStart)
                    gaps.push_back(double(mono - last[size_t(i)]) / 1e6);
                if (mono >= windowStart)
                    ++received;
                last[size_t(i)] = mono;
            }
        }
    }
    running = false;
    sender.join();
    for (int fd : fds)
        close(fd);
    const double p50 = percentile(gaps, 0.50);
    const double p99 = percentile(gaps, 0.99);
    const double worst = gaps.empty() ? NAN : *std::max_element(gaps.begin(), gaps.end());
    std::printf("%llu %.3f %.3f %.3f\n", static_cast<unsigned long long>(received), p50, p99,
                worst);
    std::fflush(stdout);
    return 0;
}
