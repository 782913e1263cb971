// Keys of the far end matched against the device's dial plan codes: relays, levels and music.
#include "core/env.h"
#include "velk/sipinfotimer.h"
#include "velk/velk.h"
#include "velk/velkdevice.h"
#include "velk/velkdevicesettings.h"
#include "velk/velkpacket.h"

#include <memory>
#include <utility>

using Settings = VelkDeviceSettings;
namespace Key = VelkDeviceKey;

namespace {

const QString kControl = QStringLiteral("control");

bool isControl(const QString &callId)
{
    return callId.compare(kControl, Qt::CaseInsensitive) == 0;
}

} // namespace

int VelkDevice::sipInfo(const QString &callId, const QString &sender, uchar key,
                        RelayAnswer answered)
{
    const bool current = (m_State == IncomingCall && callId == m_IncomingCallId)
        || (m_State == OutgoingCall && callId == m_OutgoingCallId);
    if (!current && !isControl(callId))
        return -1;
    SipInfoTimer *timer = SipInfoTimer::find(this, sender);
    if (!timer) {
        timer = new SipInfoTimer(sender, this);
        connect(this, &VelkDevice::deleteAllSipInfoTimers, timer, &SipInfoTimer::retire);
    }
    const QByteArray digits = timer->addDigit(key);
    int index = -1;
    int result = dialplan(callId, digits, &index);
    if (index == Key::DialplanMusic && callId != kControl)
        result = -1;
    if (result != 0)
        timer->consume(digits);
    if (result > 0 && dialplanAction(index, std::move(answered)))
        result = 3;
    return result;
}

int VelkDevice::dialplan(const QString &callId, const QByteArray &digits, int *index)
{
    int result = -1;
    const int limit = m_HardwareType == 7 ? 10 : 4;
    const auto logLevels = [this]() {
        logLine(LogParams::VelkDebug,
                QStringLiteral("Device '%1': speaker=%2 microphone=%3")
                    .arg(m_Number)
                    .arg(m_SpeakerLevel)
                    .arg(m_MicrophoneLevel));
    };
    const QString typed = QString::fromLatin1(digits);
    for (int key = Key::DialplanRelay1On; key <= Key::DialplanMusicNext; ++key) {
        const QString code = Settings::stringValue(this, key);
        if (code.isEmpty() || !code.startsWith(typed, Qt::CaseInsensitive))
            continue;
        if (index)
            *index = key;
        if (code.compare(typed, Qt::CaseInsensitive) != 0) {
            result = 0;
            continue;
        }
        switch (key) {
        case Key::DialplanSpeakerUp:
        case Key::DialplanSpeakerDown: {
            const bool up = key == Key::DialplanSpeakerUp;
            if (isControl(callId)) {
                int volume = Settings::intValue(this, Key::MusicVolume);
                if (up ? volume < limit : volume > 1) {
                    volume += up ? 1 : -1;
                    setMusicVolume(uchar(volume));
                    result = 1;
                }
                logLine(LogParams::VelkDebug,
                        QStringLiteral("Device '%1': music volume = %2").arg(m_Number).arg(volume));
            } else {
                if (up ? m_SpeakerLevel < limit : m_SpeakerLevel > 1) {
                    m_SpeakerLevel = uchar(m_SpeakerLevel + (up ? 1 : -1));
                    result = 1;
                }
                logLevels();
            }
            break;
        }
        case Key::DialplanMicrophoneUp:
        case Key::DialplanMicrophoneDown: {
            const bool up = key == Key::DialplanMicrophoneUp;
            if (up ? m_MicrophoneLevel < 4 : m_MicrophoneLevel > 1) {
                m_MicrophoneLevel = uchar(m_MicrophoneLevel + (up ? 1 : -1));
                result = 1;
            }
            logLevels();
            break;
        }
        case Key::DialplanMusic:
            if (callId == kControl)
                result = 1;
            break;
        default:
            result = 2;
            break;
        }
    }
    return result;
}

void VelkDevice::sendRelay(int relay, uchar value, RelayAnswer answered)
{
    VelkProtocol::Outputs outputs;
    outputs.relay1 = relay == 1 ? value : 0;
    outputs.relay2 = relay == 2 ? value : 0;
    outputs.relay3 = relay == 3 ? value : 0;
    VelkPacket *packet = newRequest(VelkProtocol::makeSetOutputs(nextAddressee(), outputs));
    // Said when the panel has done it: a door the log calls open must be open. The number
    // names the device even while it is being deleted.
    const QString what = QStringLiteral("Device '%1' relay %2 %3")
                             .arg(m_Number)
                             .arg(relay)
                             .arg(value == 255 ? QStringLiteral("off") : QStringLiteral("on"));
    // Whoever keyed the code hears the first outcome only; a late answer is just logged.
    auto waiting = std::make_shared<RelayAnswer>(answered ? std::move(answered) : [](int) {});
    connect(packet, &VelkPacket::recvAnswer, this, [what, waiting](int result) {
        if (result == 0)
            logLine(LogParams::Velk, what);
        else if (result < 0)
            logLine(LogParams::Warning, what + QStringLiteral(" not confirmed: no answer"));
        else
            logLine(LogParams::Warning,
                    what + QStringLiteral(" refused by the panel (result %1)").arg(result));
        if (*waiting)
            std::exchange(*waiting, nullptr)(result == 0 ? 2 : -1);
    });
    // The command goes with the registration, unanswered.
    connect(this, &VelkDevice::isRegisteredChanged, packet, [what, waiting](int, bool state) {
        if (state || !*waiting)
            return;
        logLine(LogParams::Warning,
                what + QStringLiteral(" not confirmed: the device unregistered"));
        std::exchange(*waiting, nullptr)(-1);
    });
    packet->send();
}

bool VelkDevice::dialplanAction(int index, RelayAnswer answered)
{
    if (index >= Key::DialplanRelay1On && index <= Key::DialplanRelay3Off) {
        const int relay = (index - Key::DialplanRelay1On) / 2;
        const bool on = (index - Key::DialplanRelay1On) % 2 == 0;
        const int mode = Settings::kRelayModes[relay];
        const uchar value = on ? relayOnValue(mode) : relayOffValue(mode);
        // 0: the relay follows the call, and the code switches nothing.
        if (value == 0)
            return false;
        sendRelay(relay + 1, value, std::move(answered));
        return true;
    }
    switch (index) {
    case Key::DialplanSpeakerUp:
    case Key::DialplanSpeakerDown:
    case Key::DialplanMicrophoneUp:
    case Key::DialplanMicrophoneDown:
        sendSettings(-1, -1);
        break;
    case Key::DialplanMusic: {
        const bool on = !Settings::boolValue(this, Key::Music);
        setMusic(on);
        if (m_State == Ready)
            playMusic(on, false);
        sendSettings(-1, Key::MusicVolume);
        break;
    }
    case Key::DialplanMusicBegin:
    case Key::DialplanMusicPrev:
    case Key::DialplanMusicNext: {
        if (m_State != Ready || m_MusicSound < 1000000 || m_MusicSound != m_CurrentOutput)
            break;
        const VelkMusic control = index == Key::DialplanMusicBegin ? VelkMusic(0)
            : index == Key::DialplanMusicPrev                      ? VelkMusic(-1)
                                                                   : VelkMusic(1);
        emit controlMusic(m_MusicSound, control, Settings::stringValue(this, Key::MusicIndex));
        break;
    }
    default:
        break;
    }
    return false;
}

void VelkDevice::storeSettings(const QMap<QString, QString> &values)
{
    // A device removed from the table (or replaced under its number) may still get what its
    // audio thread queued before; storing it would write the group back and load the device
    // again.
    auto *velk = qobject_cast<Velk *>(parent());
    if (velk && velk->findDevice(m_Number) != this)
        return;
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        setProperty(it.key().toLatin1().constData(), it.value());
    if (velk)
        velk->saveDevice(m_Number, values, true, false);
}

void VelkDevice::setMusicVolume(uchar level)
{
    storeSettings({ { QStringLiteral("music-volume"), QString::number(level) } });
}

void VelkDevice::setMusic(bool on)
{
    storeSettings(
        { { QStringLiteral("music"), on ? QStringLiteral("true") : QStringLiteral("false") } });
}

void VelkDevice::saveMusicPosition(const QString &index, int block, qulonglong position)
{
    storeSettings({ { QStringLiteral("music-index"), index },
                    { QStringLiteral("music-block"), QString::number(block) },
                    { QStringLiteral("music-position"), QString::number(position) } });
}
