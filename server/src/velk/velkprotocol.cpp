#include "velk/velkprotocol.h"

#include <QtEndian>

namespace VelkProtocol {

namespace {

quint8 byteAt(const QByteArray &d, int offset)
{
    return quint8(d.at(offset));
}

quint16 u16At(const QByteArray &d, int offset)
{
    return qFromLittleEndian<quint16>(d.constData() + offset);
}

quint32 u32At(const QByteArray &d, int offset)
{
    return qFromLittleEndian<quint32>(d.constData() + offset);
}

QByteArray request(quint8 command, const Addressee &to)
{
    QByteArray d(requestSize(command), '\0');
    d[0] = 1;
    d[1] = char(ServerRequest);
    d[2] = char(command);
    qToLittleEndian<quint32>(to.sequence, d.data() + 3);
    qToLittleEndian<quint16>(to.device, d.data() + 7);
    qToLittleEndian<quint32>(to.password, d.data() + 9);
    return d;
}

QString tooShort(int size, int needed)
{
    return QStringLiteral("%1 bytes, at least %2 needed").arg(size).arg(needed);
}

} // namespace

int requestSize(int command)
{
    switch (command) {
    case SetOutputs:
        return 29;
    case Bootloader:
        return 22;
    case ReadBlock:
    case WriteBlock:
        return 278;
    case SetSettings:
        return 30;
    default:
        return 0;
    }
}

Head readHead(const QByteArray &d)
{
    Head head;
    if (d.size() < kHeadSize)
        return head;
    head.version = byteAt(d, 0);
    head.kind = byteAt(d, 1);
    head.command = byteAt(d, 2);
    head.sequence = u32At(d, 3);
    head.device = u16At(d, 7);
    head.password = u32At(d, 9);
    return head;
}

Received classify(const QByteArray &d)
{
    Received r;
    if (d.size() < kHeadSize) {
        r.error = QStringLiteral("short datagram: ") + tooShort(d.size(), kHeadSize);
        return r;
    }
    r.head = readHead(d);
    if (r.head.kind == DeviceRequest) {
        if (r.head.command != Report)
            r.error = QStringLiteral("unknown device request %1").arg(r.head.command);
        else if (d.size() < kReportSize)
            r.error = QStringLiteral("short report: ") + tooShort(d.size(), kReportSize);
        else
            r.disposition = Received::Report;
    } else if (r.head.kind == DeviceAnswer) {
        if (d.size() < kAnswerMinSize)
            r.error = QStringLiteral("short answer: ") + tooShort(d.size(), kAnswerMinSize);
        else
            r.disposition = Received::Answer;
    } else {
        r.error
            = QStringLiteral("datagram of kind %1 not taken on the control port").arg(r.head.kind);
    }
    return r;
}

QString PanelReport::firmware() const
{
    return QStringLiteral("%1.%2")
        .arg(quint8(hardwareBytes.at(1)))
        .arg(quint8(hardwareBytes.at(2)));
}

ReportReading readReport(const QByteArray &d)
{
    ReportReading r;
    const Received received = classify(d);
    if (received.disposition != Received::Report) {
        r.error = received.error.isEmpty() ? QStringLiteral("not a report") : received.error;
        return r;
    }
    PanelReport &p = r.report;
    p.head = received.head;
    p.hardwareBytes = d.mid(13, 4);
    p.power = byteAt(d, 37);
    p.button = byteAt(d, 38);
    p.sensor1 = byteAt(d, 39);
    p.sensor2 = byteAt(d, 40);
    p.stateBits = byteAt(d, 41);
    p.buttonAndCodec = byteAt(d, 42);
    r.ok = true;
    return r;
}

AnswerReading readAnswer(const QByteArray &d)
{
    AnswerReading r;
    const Received received = classify(d);
    if (received.disposition != Received::Answer) {
        r.error = received.error.isEmpty() ? QStringLiteral("not an answer") : received.error;
        return r;
    }
    PanelAnswer &a = r.answer;
    a.head = received.head;
    a.result = byteAt(d, 13);
    if (a.head.command == ReadBlock) {
        // A block the panel cut short is no block: comparing it would read past the datagram.
        if (d.size() < kReadBlockAnswerSize) {
            r.error
                = QStringLiteral("short block answer: ") + tooShort(d.size(), kReadBlockAnswerSize);
            return r;
        }
        a.blockNumber = byteAt(d, 22);
        a.block = d.mid(23, kBlockSize);
    }
    r.ok = true;
    return r;
}

QByteArray makeVelkAnswer(const QByteArray &report, quint8 result, quint16 port)
{
    QByteArray d(kServerAnswerSize, '\0');
    const int copied = qMin(report.size(), kHeadSize);
    std::copy(report.constBegin(), report.constBegin() + copied, d.begin());
    d[1] = char(ServerAnswer);
    d[13] = char(result);
    qToLittleEndian<quint16>(result == kAccepted ? port : 0, d.data() + 14);
    return d;
}

QByteArray makeSetOutputs(const Addressee &to, const Outputs &o)
{
    QByteArray d = request(SetOutputs, to);
    const quint8 data[]
        = { o.call, o.speaker, o.microphone, o.relay1, o.relay2, o.relay3, o.level, 1 };
    std::copy(std::begin(data), std::end(data), d.begin() + kRequestDataOffset);
    return d;
}

QByteArray makeBootloader(const Addressee &to, bool enter)
{
    QByteArray d = request(Bootloader, to);
    d[21] = enter ? 1 : 0;
    return d;
}

QByteArray makeReadBlock(const Addressee &to, quint8 block)
{
    QByteArray d = request(ReadBlock, to);
    d[21] = char(block);
    return d;
}

QByteArray makeWriteBlock(const Addressee &to, quint8 block, const QByteArray &data)
{
    QByteArray d = request(WriteBlock, to);
    d[21] = char(block);
    const int n = qMin(data.size(), kBlockSize);
    std::copy(data.constBegin(), data.constBegin() + n, d.begin() + 22);
    return d;
}

QByteArray makeSetSettings(const Addressee &to, const PanelSettings &s)
{
    QByteArray d = request(SetSettings, to);
    const quint8 data[]
        = { s.registerTimeout, s.contactBits, s.microphone,   s.speaker,    s.echoLimit,
            s.echoTimeout,     s.noiseLimit,  s.noiseTimeout, s.callTimeout };
    std::copy(std::begin(data), std::end(data), d.begin() + kRequestDataOffset);
    return d;
}

QString answerKey(const QByteArray &d)
{
    if (d.size() < kRequestDataOffset)
        return QString();
    const Head h = readHead(d);
    return QStringLiteral("%1:%2@%3:%4")
        .arg(h.device)
        .arg(h.password)
        .arg(h.command)
        .arg(h.sequence);
}

QString hex(const QByteArray &datagram)
{
    return QString::fromLatin1(datagram.toHex());
}

} // namespace VelkProtocol
