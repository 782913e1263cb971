// What a door device plays and which outputs it commands.
#include "common/sound/sound_wav/soundwav.h"
#include "core/env.h"
#include "velk/velk.h"
#include "velk/velkdevice.h"
#include "velk/velkdevicesettings.h"
#include "velk/velkpacket.h"

#include <algorithm>
#include <cmath>

using Settings = VelkDeviceSettings;
namespace Key = VelkDeviceKey;

namespace {

bool isSilentPrompt(int type)
{
    // The call's own audio and the prompts that accompany a call leave the state alone.
    return type == 1 || type == 3 || type == 4 || type == 5 || type == 6 || type == 10;
}

} // namespace

quint8 VelkDevice::musicFrequency() const
{
    return quint8(Settings::intValue(this, Key::MusicFreq) & 255);
}

void VelkDevice::setOutputType(int type, uchar level, const QString &index, qulonglong block,
                               qulonglong pos)
{
    m_LevelByte = level;
    const bool message = type >= 0 && (type == m_Sensor[0].sound || type == m_Sensor[1].sound);
    if (((type >= 1 && type <= 999999) || message) && !isSilentPrompt(type))
        changeState(Waiting);
    emit setVelkOutputType(type, index, qint64(block), pos);
}

void VelkDevice::onResetVelkOutputType(int type, QString index, qint64 block, qulonglong pos)
{
    logLine(LogParams::VelkDebug,
            QStringLiteral("ResetVelkOutputType %1 %2 %3 %4")
                .arg(QString::number(type), index, QString::number(block), QString::number(pos)));
    // Whatever the music gave way to, it goes on from here next time; a position report while
    // it plays keeps the place (and the playlist entry) too.
    if (m_MusicSound > 0 && m_MusicSound == m_CurrentOutput && type != m_MusicSound)
        saveMusicPosition(index, int(block), pos);
    // -1 is a position report of the playing source, not a change of output.
    if (type != -1)
        m_CurrentOutput = type;
}

void VelkDevice::endFinishing()
{
    switch (m_State) {
    case Ready:
        setOutputs(255, 255, 255);
        break;
    case Waiting:
        setOutputs(255, 255, 255);
        changeState(Ready);
        break;
    case OutgoingCall:
        setOutputType(1, 0, QString(), 0, 0); // the prompt that opened the call is over
        break;
    default:
        break;
    }
}

QByteArray VelkDevice::outputsCommand(quint8 call, quint8 speaker, quint8 microphone)
{
    VelkProtocol::Outputs outputs;
    outputs.call = call;
    outputs.speaker = speaker;
    outputs.microphone = microphone;
    outputs.relay1 = relayValue(Key::Relay1Mode, call, 0);
    outputs.relay2 = relayValue(Key::Relay2Mode, call, 0);
    outputs.relay3 = relayValue(Key::Relay3Mode, call, 0);
    outputs.level = m_LevelByte;
    return VelkProtocol::makeSetOutputs(nextAddressee(), outputs);
}

VelkPacket *VelkDevice::setOutputs(quint8 call, quint8 speaker, quint8 microphone)
{
    return sendRequest(outputsCommand(call, speaker, microphone));
}

void VelkDevice::releasePanel()
{
    auto *velk = qobject_cast<Velk *>(parent());
    if (!velk || !isRegistered())
        return;
    // The device's own requests go with it; this one is the module's until answered or given
    // up, and its answer still finds it there.
    auto *packet
        = new VelkPacket(m_DeviceAddress, m_DevicePort, outputsCommand(255, 255, 255), velk);
    connect(packet, &VelkPacket::sendDatagram, velk, &Velk::sendDatagram);
    packet->send();
}

void VelkDevice::setMusicOutputs(bool on)
{
    VelkProtocol::Outputs outputs;
    outputs.call = on ? 1 : 255;
    outputs.speaker = on ? 1 : 255;
    outputs.microphone = 255;
    outputs.level = on ? musicFrequency() : 0;
    sendRequest(VelkProtocol::makeSetOutputs(nextAddressee(), outputs));
}

void VelkDevice::playSensorMessage(int sensor)
{
    const SensorMessage message = m_Sensor[sensor - 1];
    if ((m_State != Ready && m_State != Waiting) || message.sound < 0)
        return;
    changeState(Waiting);
    emit setRecvFromDevice(false);
    setOutputType(message.sound, uchar(message.level), QString(), 0, 0);
    m_LevelByte = uchar(message.level);
    setOutputs(1, 1, 255);
}

void VelkDevice::playMusic(bool on, bool preload)
{
    emit setCodec(m_Codec);
    if (m_State != Ready)
        return;
    if (on) {
        emit setRecvFromDevice(false);
        // The sound exists and is loaded before it is selected, so the first toggle plays;
        // without a sound the device is not switched to music at all.
        if (m_MusicSound < 0) {
            m_MusicSound = createMusicSound();
            if (m_MusicSound < 0)
                return;
            SoundWAV::loadSound(m_MusicSound);
        } else if (preload && m_MusicSound != m_CurrentOutput) {
            SoundWAV::loadSound(m_MusicSound);
        }
        setOutputType(m_MusicSound, musicFrequency(), Settings::stringValue(this, Key::MusicIndex),
                      qulonglong(Settings::stringValue(this, Key::MusicBlock).toLongLong()),
                      Settings::stringValue(this, Key::MusicPosition).toULongLong());
        setMusicOutputs(true);
        sendSettings(-1, Key::MusicVolume);
    } else if (m_MusicSound >= 0 && m_CurrentOutput == m_MusicSound) {
        setOutputType(0, 0, QString(), 0, 0);
        setMusicOutputs(false);
        SoundWAV::closeSound(m_MusicSound);
    }
}

int VelkDevice::createMusicSound() const
{
    const int type = Settings::intValue(this, Key::MusicType);
    const QString path = Settings::stringValue(this, type == 0 ? Key::MusicPath : Key::MusicSource);
    if ((type != 0 && type != 1) || path.isEmpty())
        return -1;
    return SoundWAV::create(type + 1, path, musicFrequency(), true,
                            Settings::intValue(this, Key::MusicQuality));
}

void VelkDevice::createSensorMessage(int sensor)
{
    const QString file
        = Settings::stringValue(this, sensor == 1 ? Key::Sensor1MsgFile : Key::Sensor2MsgFile);
    if (file.isEmpty())
        return;
    SensorMessage &message = m_Sensor[sensor - 1];
    message.sound = SoundWAV::create(SoundWAV::Mp3, file, musicFrequency(), false,
                                     Settings::intValue(this, Key::MusicQuality));
    // The level byte tells the device the rate it is sent, as for music.
    if (message.sound >= 0)
        message.level = SoundWAV::loadSound(message.sound) ? musicFrequency() : 0;
}

uchar VelkDevice::relayValue(int relayModeIndex, uchar call, uchar defaultValue) const
{
    const QStringList mode = Settings::stringListValue(this, relayModeIndex);
    if (mode.isEmpty() || mode.first().toUInt() != 2)
        return defaultValue;
    return call == 1 ? 254 : call == 255 ? 255 : 0;
}

uchar VelkDevice::relayOnValue(int relayModeIndex) const
{
    const QStringList mode = Settings::stringListValue(this, relayModeIndex);
    const uint kind = mode.isEmpty() ? 0 : mode.first().toUInt();
    if (kind == 0)
        return 254;
    if (kind != 1)
        return 0;
    // 254 and 255 are the latched codes: a pulse stays a pulse, however long it was set.
    const uint value = mode.size() > 1 ? mode.at(1).toUInt() : 0;
    return value == 0 ? 1 : uchar(std::min(value, 253u));
}

uchar VelkDevice::relayOffValue(int relayModeIndex) const
{
    const QStringList mode = Settings::stringListValue(this, relayModeIndex);
    const uint kind = mode.isEmpty() ? 0 : mode.first().toUInt();
    return kind == 0 || kind == 1 ? 255 : 0;
}

uchar VelkDevice::speakerLevel(int state, int selector) const
{
    if (state == -1)
        state = m_State;
    uint level;
    const auto playing = [this](int sound) { return sound > 0 && sound == m_CurrentOutput; };
    if (selector != -1) {
        level = Settings::ucharValue(this, selector);
    } else if ((state == Ready && Settings::boolValue(this, Key::Music) && playing(m_MusicSound))
               || (state == Waiting
                   && ((m_SensorActive[0] && playing(m_Sensor[0].sound))
                       || (m_SensorActive[1] && playing(m_Sensor[1].sound))))) {
        level = Settings::ucharValue(this, Key::MusicVolume);
    } else {
        level
            = m_SpeakerLevel != 0 ? m_SpeakerLevel : Settings::ucharValue(this, Key::SpeakerVolume);
    }
    if (m_HardwareType == 7) {
        const double om = Settings::uintValue(this, Key::SpeakerOm, 8) & 255;
        const double power = Settings::stringValue(this, Key::SpeakerPower).toDouble();
        level = uint(std::trunc(level * (std::sqrt(om * power) * 63 / std::sqrt(140.0)) / 10));
    }
    return uchar(level % 256);
}
