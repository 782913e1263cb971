#pragma once

#include "core/coreobject.h"
#include "core/qsmdraction.h"
#include "velk/velkdevicethread.h"
#include "velk/velkmusic.h"
#include "velk/velkprotocol.h"

#include <QDateTime>
#include <QHostAddress>
#include <QPointer>
#include <QTimer>

#include <functional>

class Velk;
class VelkPacket;
class VelkSipServices;

// One configured door device: its call state machine, registration by reports, the outputs it
// commands and what its audio thread plays. Lives in the core thread; its settings are dynamic
// properties named by the device keys (VelkDeviceSettings reads them).
class VelkDevice : public CoreObject
{
    Q_OBJECT
public:
    static constexpr qint64 kPromptPauseMs = 100;

    enum State : int {
        Unregistered = -1,
        Ready = 0,
        Waiting = 1,
        IncomingCallRequire = 2,
        IncomingCallWaitAnswer = 3,
        IncomingCall = 4,
        OutgoingCallRequire = 5,
        OutgoingCallWaitAnswer = 6,
        OutgoingCall = 7,
    };
    // Incoming call flags of the called SIP account.
    enum CallFlag : int { AutoAnswer = 1, Wiretap = 2, Paging = 8, Control = 16 };
    // Phases of a firmware update; 0 to 3 are the ones the web pages know.
    enum FirmwarePhase : int {
        UpdateIdle = 0,
        UpdateBootloaderOn = 1, // asked to enter the bootloader
        UpdateBootloaderOff = 2, // asked to leave it; the next report ends the update
        UpdateWaitBootloader = 3, // until a report comes from the bootloader
        UpdateWriting = 4,
        UpdateReading = 5, // reading back and comparing
    };
    // Why an update did not start.
    enum FirmwareRefusal : int {
        NotRefused,
        NotRegistered,
        AlreadyUpdating,
        NoFirmwareImage,
        PlaceholderImage, // the build holds a placeholder, not the firmware
    };
    struct FirmwareStart
    {
        bool started = false;
        QString error;
        FirmwareRefusal refusal = NotRefused;
    };

    VelkDevice(quint16 number, Velk *parent);
    ~VelkDevice() override;

    quint16 number() const { return m_Number; }
    int state() const { return m_State; }
    bool isRegistered() const { return m_State >= 0; }
    bool isBusy() const { return m_State > 1; }
    quint16 audioPort() const { return m_DeviceThread.audioPort(); }
    VelkDeviceThread &audioThread() { return m_DeviceThread; }
    QHostAddress deviceAddress() const { return m_DeviceAddress; }
    quint16 devicePort() const { return m_DevicePort; }
    quint8 hardwareType() const { return m_HardwareType; }
    uchar codec() const { return m_Codec; }
    int currentOutput() const { return m_CurrentOutput; }
    int musicSound() const { return m_MusicSound; }
    int sensorMessageSound(int sensor) const;
    int sensorMessageLevel(int sensor) const;
    int status() const;
    QString accounts() const;

    static QString stateName(int state);
    static QString stateDescription(int state);

    void changeState(int newState);
    // Taken out of the table: a registered panel is switched off as at the end of a call, by a
    // command of the module's that outlives the device.
    void releasePanel();
    // Accepts or refuses a report; nothing of the device changes when it is refused.
    bool checkReport(const QHostAddress &sender, quint16 senderPort,
                     const VelkProtocol::PanelReport &report);
    void checkEvents(quint8 power, quint8 button, quint8 sensor1, quint8 sensor2, quint8 stateBits);

    void setOutputType(int type, uchar level, const QString &index, qulonglong block,
                       qulonglong pos);
    void playMusic(bool on, bool preload);
    // SetSettings with the speaker level of the state (-1 current) or of a setting index.
    void sendSettings(int state, int selector);
    uchar speakerLevel(int state, int selector) const;
    uchar relayValue(int relayModeIndex, uchar call, uchar defaultValue) const;
    uchar relayOnValue(int relayModeIndex) const;
    uchar relayOffValue(int relayModeIndex) const;

    void setIncomingCallFlags(int flags) { m_IncomingFlags = flags; }

    // Firmware upload through the panel's bootloader; the web pages start it and follow it.
    FirmwareStart startFirmwareUpdate();
    bool isFirmwareUpdating() const { return m_Update.running; }
    int firmwareUpdatePhase() const { return m_Update.phase; }
    int firmwareProgress() const;
    QByteArray firmwareImage() const;
    int firmwareFileVersionCode() const;
    QString firmwareFileVersion() const;
    // Requests built for the device and not yet sent.
    VelkPacket *sendBootloader(quint8 value);
    VelkPacket *sendReadBlock(quint8 block);
    VelkPacket *sendWriteBlock(quint8 block, const QByteArray &data);
    // Calls with the SIP engine (statuses are SIP status indexes).
    Q_INVOKABLE void incomingCall(const QString &fromUser, const QString &toUser,
                                  const QString &conversationName, const QString &callId, int flags,
                                  const QString &uuid = QString(),
                                  const QString &fromCallId = QString());
    Q_INVOKABLE void incomingCallPaging(const QString &fromUser, const QString &toUser,
                                        const QString &conversationName, const QString &callId,
                                        int flags, const QString &uuid = QString(),
                                        const QString &fromCallId = QString());
    Q_INVOKABLE void callTerminated(const QString &callId, bool normal);
    bool outgoingCallAnswered(const QString &callId, int status, const QString &acceptCallId,
                              const QString &adoptCallId);
    void makeCall(int accountIndex, const QString &target);
    void callRule(int accountIndex, int ruleIndex);
    QString outgoingCallId() const { return m_OutgoingCallId; }
    QString incomingCallId() const { return m_IncomingCallId; }

    // What became of a relay code once the panel answered its command: 2 done, -1 refused,
    // not answered, or the device unregistered first.
    using RelayAnswer = std::function<void(int result)>;
    // Keys of the far end matched against the device's dial plan: -1 no code, 0 a code begun,
    // 1 a level or the music changed, 2 a code done, 3 a relay code whose command went to the
    // panel: its result comes to answered.
    int sipInfo(const QString &callId, const QString &sender, uchar key,
                RelayAnswer answered = nullptr);
    int dialplan(const QString &callId, const QByteArray &digits, int *index);
    // True when a relay command went out, whose result comes to answered.
    bool dialplanAction(int index, RelayAnswer answered = nullptr);
    void setMusicVolume(uchar level);
    void setMusic(bool on);
    // Where the music was left: its playlist entry, MP3 frame and byte in that frame.
    void saveMusicPosition(const QString &index, int block, qulonglong position);

    // The keypad.
    void addKey(int key);
    QString keypadCallee(const QString &digits) const;
    void updateKeypadCodeLength();
    void resetKeys();

signals:
    void sendDatagram(QHostAddress receiverAddr, ushort receiverPort, QByteArray datagram);
    void isRegisteredChanged(int device, bool state, QString dst = QString());
    void isBusyChanged(int device, bool state, QString dst = QString());
    void setRecvFromDevice(bool var);
    void setVelkOutputType(int type, QString index, qint64 block, qulonglong pos);
    void toDevice(qulonglong id, QByteArray array);
    void fromDevice(qulonglong id, QByteArray array);
    void clearPackets();
    void deleteAllSipInfoTimers();
    void smdrLog(QDateTime datetime, QString src, QString dest, qlonglong duration,
                 QSmdrAction::Type action, QString attr = QString());
    void acceptCall(QString uuid, QString callid);
    void intercepted(QString conversationName, QString fromUserName, QString fromCallId);
    void toggleMusic(bool action);
    void controlMusic(int src, VelkMusic control, QString index = QString());
    void setCodec(uchar codec);
    void appendConversation(QString name);

public slots:
    void timeoutRegister();
    void endFinishing();
    void onResetVelkOutputType(int type, QString index, qint64 block, qulonglong pos);
    void intercept(QString uuid, QString callid);
    void onToggleMusic(bool action) { playMusic(action, false); }
    void onSensor1MsgFile() { playSensorMessage(1); }
    void onSensor2MsgFile() { playSensorMessage(2); }
    void playWiretapping();
    void playAutoAnswer();
    void playPaging();
    void recvAnswerBootloaderOn(int result, QByteArray cmd, QByteArray answer);
    void recvAnswerBootloaderUpload(int result, QByteArray cmd, QByteArray answer);
    void recvAnswerBootloaderDownload(int result, QByteArray cmd, QByteArray answer);
    void recvAnswerIncomingCall(int result, QByteArray cmd, QByteArray answer);
    void recvAnswerIncomingCallPaging(int result, QByteArray cmd, QByteArray answer);
    void recvAnswerOutgoingCallButton(int result, QByteArray cmd, QByteArray answer);
    void recvAnswerOutgoingCallSensor1(int result, QByteArray cmd, QByteArray answer);
    void recvAnswerOutgoingCallSensor2(int result, QByteArray cmd, QByteArray answer);
    void onAppendConversation(QString name);
    void onDeletingConversation(QString name);
    void timeoutKeys();

private:
    struct SensorMessage
    {
        int sound = -1;
        int level = -1;
    };
    struct FirmwareUpdate
    {
        bool running = false;
        int phase = UpdateIdle;
        int steps = 0; // answers counted for the progress
        QByteArray image;
        int lastBlock = -1;
        QByteArray request; // the one request whose answer moves the update on
    };

    VelkSipServices *sip() const;
    qint64 registerPeriodMs() const;
    quint8 musicFrequency() const;
    VelkProtocol::Addressee nextAddressee();
    VelkPacket *newRequest(const QByteArray &datagram);
    VelkPacket *sendRequest(const QByteArray &datagram);
    // Call, speaker and microphone bytes; the relays follow the call byte by their modes.
    VelkPacket *setOutputs(quint8 call, quint8 speaker, quint8 microphone);
    QByteArray outputsCommand(quint8 call, quint8 speaker, quint8 microphone);
    // A relay-only command; the log and answered say what the panel made of it.
    void sendRelay(int relay, uchar value, RelayAnswer answered);
    void offerIncomingCall(const QString &fromUser, const QString &toUser,
                           const QString &conversationName, const QString &callId, int flags,
                           const QString &uuid, const QString &fromCallId, bool paging);
    void endIncomingCall();
    // A ring the device leaves unanswered by unregistering gets its final answer now: the ring
    // command's own answer, which would have given it, goes with the registration.
    void abandonRing();
    // The ring command is not sent again once its call is over: a resend would switch the
    // outputs back on after the call switched them off.
    void dropRingCommand();
    void endOutgoingCall();
    void outputsOff(void (VelkDevice::*again)(int, QByteArray, QByteArray));
    void answerCallRequest(int result, int accountIndex, int ruleIndex);
    void actOnEvents(bool keyEvent, quint8 button, bool sensor1Down, bool sensor2Down);
    void actIdle(bool keypad, bool keyEvent, quint8 button, bool sensor1Down, bool sensor2Down);
    void sensorAction(int sensor);
    void actIncoming(bool keypad, bool keyEvent, quint8 button, bool sensor1Down, bool sensor2Down);
    void actRinging(bool keypad, bool keyEvent, quint8 button, bool sensor1Down, bool sensor2Down);
    void actOutgoing(bool keypad, bool keyEvent, quint8 button, bool sensor1Down, bool sensor2Down);
    void keypadFollowUp(bool keypad, quint8 button);
    void passAsDtmf(quint8 key);
    bool isAsteriskKey(bool keypad, quint8 button) const;
    bool isHashKey(bool keypad, quint8 button) const;
    void promptWithOutputs(int type);
    // The keypad's short pause before a prompt or the outputs going off, without holding the
    // thread: the step runs when it is over, at once when the next event comes, and not at all
    // once the state changed.
    void afterPause(std::function<void()> step);
    void runPausedStep();
    void dropPausedStep();
    void setMusicOutputs(bool on);
    void reassertOutputs(bool reportedCall, bool reportedSpeaker);
    void idleActions();
    void playSensorMessage(int sensor);
    int createMusicSound() const;
    void createSensorMessage(int sensor);
    void removeSounds();
    // Sets the keys as properties and stores them in the device's group, pushing nothing.
    void storeSettings(const QMap<QString, QString> &values);
    void saveDeviceInformation(const VelkProtocol::PanelReport &report);
    void playPrompts(int devicePrompt, int callerPrompt);
    void logEvent(const QString &what, const QString &dest, QSmdrAction::Type action);
    void firmwareReport(bool inBootloader);
    void clearFirmwareUpdate() { m_Update = FirmwareUpdate(); }
    bool isUpdateAnswer(int phase, const QByteArray &cmd) const;
    void sendUpdateRequest(VelkPacket *packet,
                           void (VelkDevice::*slot)(int, QByteArray, QByteArray));
    void writeBlock(int block);
    void readBlock(int block);

    const quint16 m_Number;
    int m_MusicSound = -1;
    SensorMessage m_Sensor[2];
    VelkDeviceThread m_DeviceThread;
    QTimer m_RegisterTimer;
    QHostAddress m_DeviceAddress { QHostAddress::AnyIPv4 };
    quint16 m_DevicePort = 0;
    quint64 m_RequestCounter = 0;
    int m_State = Unregistered;
    quint8 m_HardwareType = 0;
    quint8 m_FirmwareMajor = 0;
    quint8 m_FirmwareMinor = 0;
    quint8 m_HardwareByte16 = 0;
    quint8 m_ProtocolVersion = 1;
    uchar m_Codec = 0;
    int m_IncomingFlags = 0;
    QString m_IncomingUuid;
    QString m_IncomingFromCallId;
    QString m_IncomingConversation;
    bool m_IncomingPaging = false;
    bool m_RingAnswered = true; // the SIP side has the final answer to the last ring
    QPointer<VelkPacket> m_RingCommand;
    QString m_OutgoingUuid;
    QString m_OutgoingAccount;
    QString m_OutgoingTarget;
    QString m_OutgoingCallId;
    QStringList m_OutgoingConversations;
    QString m_Keys;
    QTimer m_KeysTimer;
    QTimer m_PauseTimer { this };
    std::function<void()> m_AfterPause;
    int m_FixedCodeLength = 0;
    QString m_IncomingCallId;
    QString m_IncomingFromUser;
    QString m_IncomingToUser;
    uchar m_MicrophoneLevel = 0;
    uchar m_SpeakerLevel = 0;
    bool m_SensorActive[2] = { false, false };
    bool m_ReportedCall = false;
    bool m_ReportedSpeaker = false;
    int m_CurrentOutput = 0;
    uchar m_LevelByte = 0;
    FirmwareUpdate m_Update;
};
