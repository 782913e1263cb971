#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <QUdpSocket>

#include <utility>

// One simulated door panel on loopback: reports periodically to the server, checks the answers
// and learns its audio port, and answers server requests by a policy per command, applying
// outputs, settings and firmware blocks and showing them in later reports.
class VelkPanel : public QObject
{
    Q_OBJECT
public:
    enum class Reply {
        Answer, // result 0
        Refuse, // result = value
        Never, // the request is lost
        Late, // result 0 after value ms
        AfterResends, // silent until the value-th resend
        Cut, // an answer cut to value bytes
        Corrupt, // block value reads back altered
        OtherBlock, // a read answers with block number + value
    };
    struct Policy
    {
        Reply reply = Reply::Answer;
        int value = 0;
    };
    struct Config
    {
        quint16 number = 1;
        QString password;
        quint8 hardware = 1;
        quint8 firmwareMajor = 1;
        quint8 firmwareMinor = 0;
        quint8 codec = 0;
    };
    struct AudioIn
    {
        quint32 counter;
        qint64 atUs; // monotonic arrival time
        QByteArray payload;
    };

    explicit VelkPanel(const Config &config, QObject *parent = nullptr);

    // Binds on loopback and reports every interval (schedule ms; 0: only on sendReport).
    bool start(const QHostAddress &server, quint16 serverPort, int reportIntervalMs);
    void setPolicy(int command, Policy policy) { m_Policies[command] = policy; }
    // Events travel in the next report only.
    void queueEvents(quint8 power, quint8 button, quint8 sensor1, quint8 sensor2)
    {
        m_Events = QByteArray(1, char(power)) + char(button) + char(sensor1) + char(sensor2);
    }
    void holdSensor1(bool held) { m_State = quint8((m_State & ~0x40) | (held ? 0x40 : 0)); }
    void sendReport();

    quint16 number() const { return m_Config.number; }
    quint16 localPort() const { return m_Socket->localPort(); }
    quint16 audioPort() const { return m_AudioPort; }
    quint8 stateBits() const { return m_State; }
    QByteArray settings() const { return m_Settings; }
    bool inBootloader() const { return m_Bootloader; }
    QByteArray firmwareImage() const { return m_Image; }

    // Audio, once registered: a frame every 20 ms to the server's audio port, cut from the
    // 8-bit PCM tone (looped) and sent in the panel's codec (1 A-law, else as it is).
    bool startAudio(const QByteArray &tone, int frameBytes = 173);
    void stopAudio() { m_AudioTimer.stop(); }
    QByteArray audioFrame(quint32 counter) const;
    quint32 audioSent() const { return m_AudioCounter; }
    const QList<AudioIn> &audioReceived() const { return m_AudioIn; }
    // Hands over what arrived so far, for long runs that must not keep it all.
    QList<AudioIn> takeAudioReceived() { return std::exchange(m_AudioIn, {}); }

signals:
    void answered(int result, quint16 audioPort);
    // data: byte 21, the first data byte (the block number of block commands).
    void requestReceived(int command, quint32 sequence, int timesSeen, int data);
    void answerSent(int command);
    void applied(int command);
    void protocolError(QString text);
    void audioArrived(int count);

private:
    void readPending();
    void readAudio();
    void sendAudioFrame();
    void onRequest(const QByteArray &request);
    // Result of carrying the request out; the block read for ReadBlock goes into block.
    quint8 apply(const QByteArray &request, QByteArray *block);
    void answer(const QByteArray &request, quint8 result, const QByteArray &block, Policy policy);
    QByteArray head(quint32 sequence) const;

    Config m_Config;
    QUdpSocket *m_Socket;
    QTimer m_ReportTimer;
    QHostAddress m_Server;
    quint16 m_ServerPort = 0;
    QHash<int, Policy> m_Policies;
    QHash<quint64, int> m_Seen;
    quint32 m_Sequence = 0;
    QByteArray m_LastReport;
    QByteArray m_Events = QByteArray(4, '\0');
    quint8 m_State = 0;
    quint16 m_AudioPort = 0;
    QByteArray m_Settings = QByteArray(9, '\0');
    bool m_Bootloader = false;
    QByteArray m_Image = QByteArray(65536, '\0');
    QUdpSocket *m_Audio = nullptr;
    QTimer m_AudioTimer;
    QByteArray m_Tone;
    int m_FrameBytes = 173;
    quint32 m_AudioCounter = 0;
    QList<AudioIn> m_AudioIn;
};

Q_DECLARE_METATYPE(VelkPanel::Reply)
