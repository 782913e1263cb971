#pragma once

#include <QByteArray>
#include <QString>

// Byte layout of the door-panel control datagrams: one UDP datagram each, little-endian,
// behind a common 13-byte head (version, kind, command, sequence, device number, password).
namespace VelkProtocol {

enum Kind : quint8 {
    Audio = 0,
    DeviceRequest = 1,
    ServerAnswer = 2,
    ServerRequest = 3,
    DeviceAnswer = 4,
};

enum Command : quint8 {
    Report = 1,
    SetOutputs = 6,
    Bootloader = 7,
    ReadBlock = 8,
    WriteBlock = 9,
    SetSettings = 12,
};

constexpr int kHeadSize = 13;
constexpr int kReportSize = 43;
constexpr int kServerAnswerSize = 16;
constexpr int kRequestDataOffset = 21;
constexpr int kAnswerMinSize = 22;
constexpr int kBlockSize = 256;
constexpr int kReadBlockAnswerSize = 279;

// Results a report is answered with.
constexpr quint8 kAccepted = 0;
constexpr quint8 kRejected = 3;

// Length of a server request of the command; 0 for commands the server never sends.
int requestSize(int command);

struct Head
{
    quint8 version = 0;
    quint8 kind = 0;
    quint8 command = 0;
    quint32 sequence = 0;
    quint16 device = 0;
    quint32 password = 0;
};

// Head fields at their offsets; the datagram must hold at least kHeadSize bytes.
Head readHead(const QByteArray &datagram);

// What the control port makes of a datagram; error says why one is dropped.
struct Received
{
    enum Disposition { Drop, Report, Answer } disposition = Drop;
    Head head;
    QString error;
};
Received classify(const QByteArray &datagram);

// The bytes of a report the server reads (bytes 17..36 and beyond 42 are not).
struct PanelReport
{
    Head head;
    QByteArray hardwareBytes; // 13..16: hardware type, firmware major and minor, one kept byte
    quint8 power = 0;
    quint8 button = 0;
    quint8 sensor1 = 0;
    quint8 sensor2 = 0;
    quint8 stateBits = 0; // call, microphone, speaker, relay1..3, sensor1, sensor2
    quint8 buttonAndCodec = 0;

    quint8 hardwareType() const { return quint8(hardwareBytes.at(0)); }
    QString firmware() const;
    bool inBootloader() const { return hardwareBytes.at(1) == 0 && hardwareBytes.at(2) == 0; }
    int codec() const { return (buttonAndCodec >> 1) & 3; }
    bool hasEvents() const { return power || button || sensor1 || sensor2; }
};

struct ReportReading
{
    bool ok = false;
    QString error;
    PanelReport report;
};
ReportReading readReport(const QByteArray &datagram);

// A panel's answer to a server request; block holds the 256 bytes a ReadBlock answer carries.
struct PanelAnswer
{
    Head head;
    quint8 result = 0;
    int blockNumber = -1;
    QByteArray block;
};

struct AnswerReading
{
    bool ok = false;
    QString error;
    PanelAnswer answer;
};
AnswerReading readAnswer(const QByteArray &datagram);

// The 16-byte answer to a report: its head with kind 2, the result and the audio port.
QByteArray makeVelkAnswer(const QByteArray &report, quint8 result, quint16 port);

// Who a server request goes to.
struct Addressee
{
    quint32 sequence = 0;
    quint16 device = 0;
    quint32 password = 0;
};

struct Outputs
{
    quint8 call = 0;
    quint8 speaker = 0;
    quint8 microphone = 0;
    quint8 relay1 = 0;
    quint8 relay2 = 0;
    quint8 relay3 = 0;
    quint8 level = 0;
};

// Bytes 21..29 of SetSettings, in datagram order.
struct PanelSettings
{
    quint8 registerTimeout = 0;
    quint8 contactBits = 0;
    quint8 microphone = 0;
    quint8 speaker = 0;
    quint8 echoLimit = 0;
    quint8 echoTimeout = 0;
    quint8 noiseLimit = 0;
    quint8 noiseTimeout = 0;
    quint8 callTimeout = 0;
};

QByteArray makeSetOutputs(const Addressee &to, const Outputs &outputs);
QByteArray makeBootloader(const Addressee &to, bool enter);
QByteArray makeReadBlock(const Addressee &to, quint8 block);
// A block shorter than 256 bytes leaves the rest zero; beyond 256 bytes is cut.
QByteArray makeWriteBlock(const Addressee &to, quint8 block, const QByteArray &data);
QByteArray makeSetSettings(const Addressee &to, const PanelSettings &settings);

// "number:password@command:sequence" of a datagram's head; the kind is left out so that a
// request and its answer share it. Empty for datagrams shorter than 21 bytes.
QString answerKey(const QByteArray &datagram);

// Lower-case hex of the whole datagram, as protocol traces show it.
QString hex(const QByteArray &datagram);

} // namespace VelkProtocol
