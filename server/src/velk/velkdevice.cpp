#include "velk/velkdevice.h"

#include "common/sound/sound_wav/soundwav.h"
#include "core/env.h"
#include "core/timescale.h"
#include "velk/velk.h"
#include "velk/velkdevicesettings.h"
#include "velk/velkpacket.h"
#include "velk/velksipservices.h"

#include <cmath>

using Settings = VelkDeviceSettings;
namespace Key = VelkDeviceKey;

namespace {

struct StateText
{
    const char *name;
    const char *description;
};

const StateText kStates[] = {
    { "Ready", "Ready to call" },
    { "Waiting", "Waiting" },
    { "IncomingCallRequire", "Check an incoming call" },
    { "IncomingCallWaitAnswer", "Waiting to answer an incoming call" },
    { "IncomingCall", "Incoming call" },
    { "OutgoingCallRequire", "Check an outgoing call" },
    { "OutgoingCallWaitAnswer", "Waiting to answer an outgoing call" },
    { "OutgoingCall", "Outgoing call" },
};

} // namespace

VelkDevice::VelkDevice(quint16 number, Velk *parent)
    : CoreObject(parent)
    , m_Number(number)
    , m_DeviceThread(this)
    , m_RegisterTimer(this)
    , m_KeysTimer(this)
{
    if (parent) {
        m_DeviceThread.setBindAddress(QHostAddress(parent->stringValue(VelkKey::BindAddress)));
        m_DeviceThread.setPortRange(parent->ushortValue(VelkKey::PortRangeStart),
                                    parent->ushortValue(VelkKey::PortRangeStop));
    }
    qRegisterMetaType<QHostAddress>("QHostAddress");
    qRegisterMetaType<QSmdrAction::Type>("QSmdrAction::Type");
    qRegisterMetaType<VelkMusic>("VelkMusic");
    setObjectName(QString::number(number));

    m_RegisterTimer.setSingleShot(true);
    connect(this, &VelkDevice::isRegisteredChanged, &m_DeviceThread,
            &VelkDeviceThread::isRegisteredChanged, Qt::DirectConnection);
    connect(&m_RegisterTimer, &QTimer::timeout, this, &VelkDevice::timeoutRegister);
    connect(this, &VelkDevice::appendConversation, this, &VelkDevice::onAppendConversation);
    m_KeysTimer.setSingleShot(true);
    connect(&m_KeysTimer, &QTimer::timeout, this, &VelkDevice::timeoutKeys);
    m_PauseTimer.setSingleShot(true);
    m_PauseTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_PauseTimer, &QTimer::timeout, this, &VelkDevice::runPausedStep);
    connect(this, &VelkDevice::toggleMusic, this, &VelkDevice::onToggleMusic, Qt::QueuedConnection);
    if (parent) {
        connect(this, &VelkDevice::acceptCall, parent, &Velk::intercept, Qt::QueuedConnection);
        connect(parent, &Velk::intercept, this, &VelkDevice::intercept, Qt::QueuedConnection);
        connect(this, &VelkDevice::intercepted, parent, &Velk::intercepted, Qt::QueuedConnection);
    }
    logLine(LogParams::VelkDebug, QStringLiteral("Create device '%1'").arg(number));
}

VelkDevice::~VelkDevice()
{
    changeState(Unregistered);
    logLine(LogParams::VelkDebug, QStringLiteral("Delete device '%1'").arg(m_Number));
}

QString VelkDevice::stateName(int state)
{
    return state >= 0 && state <= OutgoingCall ? QLatin1String(kStates[state].name) : QString();
}

QString VelkDevice::stateDescription(int state)
{
    return state >= 0 && state <= OutgoingCall ? QLatin1String(kStates[state].description)
                                               : QString();
}

int VelkDevice::sensorMessageSound(int sensor) const
{
    return sensor == 1 || sensor == 2 ? m_Sensor[sensor - 1].sound : -1;
}

int VelkDevice::sensorMessageLevel(int sensor) const
{
    return sensor == 1 || sensor == 2 ? m_Sensor[sensor - 1].level : -1;
}

int VelkDevice::status() const
{
    if (m_State < 0)
        return 0;
    if (m_FirmwareMajor != 0 || m_FirmwareMinor != 0)
        return isBusy() ? 2 : 1;
    return m_Update.running ? 4 : 3; // the bootloader runs
}

QString VelkDevice::accounts() const
{
    QStringList names;
    for (int key : { Key::ButtonAccount, Key::Sensor1Account, Key::Sensor2Account }) {
        const QString name = Settings::stringValue(this, key).trimmed();
        if (!name.isEmpty())
            names << name;
    }
    return names.join(QLatin1Char(','));
}

VelkSipServices *VelkDevice::sip() const
{
    const auto *velk = qobject_cast<const Velk *>(parent());
    return velk ? velk->sipServices() : nullptr;
}

qint64 VelkDevice::registerPeriodMs() const
{
    return 1000 * qint64(Settings::timeoutSeconds(this, Key::RegisterTimeout) + 32);
}

void VelkDevice::changeState(int newState)
{
    emit setCodec(m_Codec);
    if (newState == m_State)
        return;
    const int oldState = m_State;
    const auto ringing
        = [](int state) { return state == IncomingCallRequire || state == IncomingCallWaitAnswer; };
    if (ringing(oldState) && !ringing(newState)) {
        // Before the SIP side hears of the unregistration: it answers only for registered users.
        if (newState == Unregistered)
            abandonRing();
        m_RingAnswered = true;
        dropRingCommand();
    }
    if (oldState == Ready && newState > Waiting) {
        m_MicrophoneLevel = Settings::ucharValue(this, Key::MicrophoneVolume);
        m_SpeakerLevel = Settings::ucharValue(this, Key::SpeakerVolume);
        sendSettings(newState, -1);
    }
    emit deleteAllSipInfoTimers();
    dropPausedStep();
    m_State = newState;
    logLine(LogParams::Velk,
            QStringLiteral("Device '%1' change state %2 (%3)")
                .arg(m_Number)
                .arg(stateName(newState), stateDescription(newState)));

    const bool registered = newState >= 0;
    if (registered != (oldState >= 0)) {
        if (registered) {
            logLine(LogParams::Velk, QStringLiteral("Device '%1' register").arg(m_Number));
            m_RegisterTimer.start(TimeScale::toRealInt(registerPeriodMs()));
            emit setRecvFromDevice(false);
            setOutputType(0, 0, QString(), 0, 0);
            setOutputs(255, 255, 255);
        } else {
            logLine(LogParams::Velk, QStringLiteral("Device '%1' unregister").arg(m_Number));
            m_RegisterTimer.stop();
            // Its requests go with the registration, so an update would wait for ever.
            clearFirmwareUpdate();
            emit setRecvFromDevice(false);
            setOutputType(0, 0, QString(), 0, 0);
            disconnect(this, &VelkDevice::toDevice, nullptr, nullptr);
            disconnect(this, &VelkDevice::fromDevice, nullptr, nullptr);
        }
    }
    emit isRegisteredChanged(m_Number, registered, QString());

    const bool busy = newState > Waiting;
    if (busy != (oldState > Waiting))
        logLine(LogParams::Velk,
                (busy ? QStringLiteral("Device '%1' is busy")
                      : QStringLiteral("Device '%1' is not busy"))
                    .arg(m_Number));
    emit isBusyChanged(m_Number, busy, QString());

    if (newState == Ready || newState == Waiting)
        idleActions();
    if (newState == Unregistered)
        removeSounds();
}

void VelkDevice::idleActions()
{
    for (int sensor : { 1, 2 }) {
        const int pressEvent = Settings::intValue(
            this, sensor == 1 ? Key::Sensor1PressEvent : Key::Sensor2PressEvent, 0);
        if (m_SensorActive[sensor - 1] && pressEvent == 4 && m_Sensor[sensor - 1].sound >= 0) {
            playSensorMessage(sensor);
            return;
        }
    }
    if (m_State == Ready && Settings::boolValue(this, Key::Music) && m_MusicSound > 0)
        playMusic(true, false);
}

void VelkDevice::removeSounds()
{
    for (int *sound : { &m_MusicSound, &m_Sensor[0].sound, &m_Sensor[1].sound }) {
        if (*sound >= 0)
            SoundWAV::remove(*sound);
        *sound = -1;
    }
}

void VelkDevice::timeoutRegister()
{
    logLine(LogParams::Velk, QStringLiteral("Device '%1' timeout register").arg(m_Number));
    changeState(Unregistered);
}

VelkProtocol::Addressee VelkDevice::nextAddressee()
{
    return { quint32(m_RequestCounter++), m_Number, Settings::passwordWord(this) };
}

VelkPacket *VelkDevice::newRequest(const QByteArray &datagram)
{
    auto *packet = new VelkPacket(m_DeviceAddress, m_DevicePort, datagram, this);
    connect(packet, &VelkPacket::sendDatagram, this, &VelkDevice::sendDatagram);
    // A device that unregisters stops asking: its requests go with the registration.
    connect(this, &VelkDevice::isRegisteredChanged, packet, [packet](int device, bool state) {
        packet->isRegisteredChanged(ushort(device), state);
    });
    if (datagram.at(2) != char(VelkProtocol::SetOutputs))
        connect(this, &VelkDevice::clearPackets, packet, &QObject::deleteLater);
    return packet;
}

VelkPacket *VelkDevice::sendRequest(const QByteArray &datagram)
{
    VelkPacket *packet = newRequest(datagram);
    packet->send();
    return packet;
}

void VelkDevice::sendSettings(int state, int selector)
{
    const quint8 speaker = speakerLevel(state, selector);
    sendRequest(VelkProtocol::makeSetSettings(
        nextAddressee(), Settings::panelSettings(this, m_MicrophoneLevel, speaker)));
}

void VelkDevice::playPrompts(int devicePrompt, int callerPrompt)
{
    if (m_State != IncomingCall)
        return;
    if (VelkSipServices *services = sip())
        services->resultSipInfo(m_IncomingCallId, m_IncomingFromUser, devicePrompt,
                                m_IncomingToUser, callerPrompt);
}

// The listener hears that the door is on; the door, whose speaker stays off, hears nothing.
void VelkDevice::playWiretapping()
{
    playPrompts(-1, 9);
}

// The paged doors sound the beep; the caller had its own as the call started.
void VelkDevice::playPaging()
{
    playPrompts(9, -1);
}

void VelkDevice::playAutoAnswer()
{
    playPrompts(9, 9);
}
