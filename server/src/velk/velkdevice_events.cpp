// What a button, a sensor or a keypad key does by the device's call state, and the keypad
// number collected from the keys.
#include "core/env.h"
#include "core/identifiers.h"
#include "core/timescale.h"
#include "velk/velkdevice.h"
#include "velk/velkdevicesettings.h"
#include "velk/velkpacket.h"
#include "velk/velksipservices.h"

#include <QCoreApplication>

#include <utility>

using Settings = VelkDeviceSettings;
namespace Key = VelkDeviceKey;

namespace {

constexpr int kStatusOk = 5;
constexpr uint kKeyDtmfMs = 250;

struct KeypadEntry
{
    QString code;
    QString callee;
};

QList<KeypadEntry> keypadEntries(const QString &list)
{
    QList<KeypadEntry> entries;
    const QStringList items = list.split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QString &item : items) {
        const QStringList parts = item.split(QLatin1Char('>'), Qt::SkipEmptyParts);
        if (parts.size() == 2)
            entries.append({ parts.at(0), parts.at(1) });
    }
    return entries;
}

} // namespace

bool VelkDevice::isAsteriskKey(bool keypad, quint8 button) const
{
    return keypad && button == 11 && Settings::boolValue(this, Key::DpmAsteriskUse);
}

bool VelkDevice::isHashKey(bool keypad, quint8 button) const
{
    return keypad && button == 12 && Settings::boolValue(this, Key::DpmHashUse);
}

void VelkDevice::promptWithOutputs(int type)
{
    setOutputType(type, 0, QString(), 0, 0);
    setOutputs(1, 1, 255);
}

void VelkDevice::afterPause(std::function<void()> step)
{
    runPausedStep(); // one pause at a time, in order
    m_AfterPause = std::move(step);
    m_PauseTimer.start(TimeScale::toRealInt(kPromptPauseMs));
}

void VelkDevice::runPausedStep()
{
    m_PauseTimer.stop();
    if (const std::function<void()> step = std::exchange(m_AfterPause, nullptr))
        step();
}

void VelkDevice::dropPausedStep()
{
    m_PauseTimer.stop();
    m_AfterPause = nullptr;
}

void VelkDevice::outputsOff(void (VelkDevice::*again)(int, QByteArray, QByteArray))
{
    VelkPacket *packet = setOutputs(255, 255, 255);
    if (again)
        connect(packet, &VelkPacket::recvAnswer, this, again);
}

void VelkDevice::passAsDtmf(quint8 key)
{
    VelkSipServices *services = sip();
    if (!services)
        return;
    if (m_State == IncomingCall)
        services->deviceDtmf(m_Number, m_IncomingCallId, m_IncomingToUser, key, kKeyDtmfMs);
    else
        services->deviceDtmf(m_Number, m_OutgoingCallId, m_OutgoingAccount, key, kKeyDtmfMs);
}

void VelkDevice::actOnEvents(bool keyEvent, quint8 button, bool sensor1Down, bool sensor2Down)
{
    if (!keyEvent && !sensor1Down && !sensor2Down)
        return;
    const bool keypad = m_HardwareType == 5 || m_HardwareType == 6;
    const bool filtered = m_State == IncomingCallRequire || m_State == IncomingCall
        || m_State == OutgoingCallRequire || m_State == OutgoingCallWaitAnswer
        || m_State == OutgoingCall;
    if (filtered) {
        int pressEvent = -1;
        const bool dtmfKeys = (m_State == IncomingCall || m_State == OutgoingCall)
            && Settings::boolValue(this, Key::DpmDtmf);
        if (keyEvent && !isAsteriskKey(keypad, button)) {
            if (!(keypad && dtmfKeys))
                pressEvent = Settings::intValue(this, Key::ButtonPressEvent);
        } else if (sensor1Down) {
            pressEvent = Settings::intValue(this, Key::Sensor1PressEvent);
        } else if (sensor2Down) {
            pressEvent = Settings::intValue(this, Key::Sensor2PressEvent);
        }
        if (pressEvent == 3)
            return;
    }
    switch (m_State) {
    case Ready:
    case Waiting:
        actIdle(keypad, keyEvent, button, sensor1Down, sensor2Down);
        break;
    case IncomingCallRequire:
    case IncomingCall:
        actIncoming(keypad, keyEvent, button, sensor1Down, sensor2Down);
        break;
    case IncomingCallWaitAnswer:
        actRinging(keypad, keyEvent, button, sensor1Down, sensor2Down);
        break;
    case OutgoingCallRequire:
    case OutgoingCall:
        actOutgoing(keypad, keyEvent, button, sensor1Down, sensor2Down);
        break;
    default:
        break;
    }
}

void VelkDevice::actIdle(bool keypad, bool keyEvent, quint8 button, bool sensor1Down,
                         bool sensor2Down)
{
    if (keypad && keyEvent) {
        if (m_State == Waiting)
            changeState(Ready);
        if (isAsteriskKey(keypad, button)) {
            resetKeys();
            if (m_CurrentOutput != 0) {
                setOutputType(0, 0, QString(), 0, 0);
                afterPause([this] { setOutputs(255, 255, 255); });
            } else {
                afterPause([this] { promptWithOutputs(11); });
            }
        } else if (isHashKey(keypad, button)) {
            if (!m_Keys.isEmpty()) {
                timeoutKeys();
            } else {
                resetKeys();
                afterPause([this] { promptWithOutputs(9); });
            }
        } else {
            addKey(button);
        }
        return;
    }
    if (keypad) {
        if (sensor1Down || sensor2Down) {
            resetKeys();
            sensorAction(sensor1Down ? 1 : 2);
        }
        return;
    }
    if (keyEvent) {
        if (m_State == Waiting)
            changeState(Ready);
        if (Settings::intValue(this, Key::ButtonPressEvent) != 0)
            callRule(Key::ButtonAccount, Key::ButtonCallRule);
        else
            promptWithOutputs(7);
        return;
    }
    if (m_HardwareType >= 2 && (sensor1Down || sensor2Down))
        sensorAction(sensor1Down ? 1 : 2);
}

void VelkDevice::sensorAction(int sensor)
{
    const int pressEvent
        = Settings::intValue(this, sensor == 1 ? Key::Sensor1PressEvent : Key::Sensor2PressEvent);
    if (pressEvent == 4) {
        if (m_State == Ready)
            playSensorMessage(sensor);
        return;
    }
    if (m_State == Waiting)
        changeState(Ready);
    if (pressEvent == 0) {
        promptWithOutputs(7);
        return;
    }
    if (sensor == 1)
        callRule(Key::Sensor1Account, Key::Sensor1CallRule);
    else
        callRule(Key::Sensor2Account, Key::Sensor2CallRule);
}

void VelkDevice::actIncoming(bool keypad, bool keyEvent, quint8 button, bool sensor1Down,
                             bool sensor2Down)
{
    const bool wiretap = m_IncomingFlags & Wiretap;
    if (keyEvent) {
        const int p = Settings::intValue(this, Key::ButtonPressEvent);
        const bool asterisk = isAsteriskKey(keypad, button);
        bool end = false;
        if (m_State == IncomingCallRequire) {
            end = p == 1 || (p == 2 && !wiretap) || asterisk;
        } else if (asterisk) {
            end = true;
        } else if (Settings::boolValue(this, Key::DpmDtmf)) {
            passAsDtmf(button);
        } else if (p == 1 || (p == 2 && !wiretap)) {
            end = true;
        } else {
            passAsDtmf(button);
        }
        if (!end)
            return;
        endIncomingCall();
        setOutputType(0, 0, QString(), 0, 0);
        emit setRecvFromDevice(false);
        outputsOff(p == 1 && !keypad ? &VelkDevice::recvAnswerOutgoingCallButton : nullptr);
        changeState(Ready);
        keypadFollowUp(keypad, button);
        return;
    }
    const int sensor = sensor1Down ? 1 : sensor2Down ? 2 : 0;
    if (sensor == 0)
        return;
    const int q
        = Settings::intValue(this, sensor == 1 ? Key::Sensor1PressEvent : Key::Sensor2PressEvent);
    if (!(q == 1 || (q == 2 && !wiretap)))
        return;
    endIncomingCall();
    setOutputType(0, 0, QString(), 0, 0);
    emit setRecvFromDevice(false);
    outputsOff(q != 1            ? nullptr
                   : sensor == 1 ? &VelkDevice::recvAnswerOutgoingCallSensor1
                                 : &VelkDevice::recvAnswerOutgoingCallSensor2);
    changeState(Ready);
}

void VelkDevice::actRinging(bool keypad, bool keyEvent, quint8 button, bool sensor1Down,
                            bool sensor2Down)
{
    const bool act = (keyEvent && Settings::intValue(this, Key::ButtonPressEvent) > 0)
        || (sensor1Down && Settings::intValue(this, Key::Sensor1PressEvent) > 0)
        || (sensor2Down && Settings::intValue(this, Key::Sensor2PressEvent) > 0);
    VelkSipServices *services = sip();
    if (!act || !services)
        return;
    if (keyEvent && isAsteriskKey(keypad, button)) {
        resetKeys();
        services->deviceReject(m_IncomingFromUser, m_IncomingToUser, m_IncomingCallId,
                               m_IncomingConversation);
        setOutputType(0, 0, QString(), 0, 0);
        emit setRecvFromDevice(false);
        setOutputs(255, 255, 255);
        changeState(Ready);
        return;
    }
    if (!services->deviceRespond(m_IncomingFromUser, m_IncomingToUser, m_IncomingConversation,
                                 m_IncomingCallId, kStatusOk)) {
        setOutputType(7, 0, QString(), 0, 0);
        emit setRecvFromDevice(false);
        changeState(Ready);
        return;
    }
    emit setRecvFromDevice(true);
    setOutputType(1, 0, QString(), 0, 0);
    changeState(IncomingCall);
}

void VelkDevice::actOutgoing(bool keypad, bool keyEvent, quint8 button, bool sensor1Down,
                             bool sensor2Down)
{
    if (keyEvent) {
        const int p = Settings::intValue(this, Key::ButtonPressEvent);
        const bool asterisk = isAsteriskKey(keypad, button);
        bool end = false;
        if (m_State == OutgoingCallRequire)
            end = p == 1 || p == 2 || asterisk;
        else if (asterisk)
            end = true;
        else if (Settings::boolValue(this, Key::DpmDtmf))
            passAsDtmf(button);
        else if (p == 1 || p == 2)
            end = true;
        else
            passAsDtmf(button);
        if (!end)
            return;
        endOutgoingCall();
        setOutputType(0, 0, QString(), 0, 0);
        emit setRecvFromDevice(false);
        const bool again = p == 1 && !keypad;
        if (again)
            QCoreApplication::processEvents();
        outputsOff(again ? &VelkDevice::recvAnswerOutgoingCallButton : nullptr);
        changeState(Ready);
        QCoreApplication::processEvents();
        keypadFollowUp(keypad, button);
        return;
    }
    const int sensor = sensor1Down ? 1 : sensor2Down ? 2 : 0;
    if (sensor == 0)
        return;
    const int q
        = Settings::intValue(this, sensor == 1 ? Key::Sensor1PressEvent : Key::Sensor2PressEvent);
    if (q != 1 && q != 2)
        return;
    endOutgoingCall();
    if (sensor == 2)
        setOutputType(0, 0, QString(), 0, 0);
    emit setRecvFromDevice(false);
    if (q == 1)
        QCoreApplication::processEvents();
    outputsOff(q != 1            ? nullptr
                   : sensor == 1 ? &VelkDevice::recvAnswerOutgoingCallSensor1
                                 : &VelkDevice::recvAnswerOutgoingCallSensor2);
    if (sensor == 1)
        setOutputType(0, 0, QString(), 0, 0);
    // The ended call is not reported back to the device that ended it: without this the
    // device would stay busy for good after a sensor1 hang-up.
    changeState(Ready);
}

void VelkDevice::keypadFollowUp(bool keypad, quint8 button)
{
    if (!keypad || Settings::intValue(this, Key::ButtonPressEvent) != 1)
        return;
    resetKeys();
    if (!isAsteriskKey(keypad, button) && !isHashKey(keypad, button))
        addKey(button);
}

void VelkDevice::addKey(int key)
{
    m_Keys += dtmfKeyName(key);
    if (m_FixedCodeLength != 0 && m_Keys.size() == m_FixedCodeLength) {
        timeoutKeys();
        return;
    }
    m_KeysTimer.start(
        TimeScale::toRealInt(1000 * qint64(Settings::intValue(this, Key::DpmTimeoutKey))));
}

void VelkDevice::timeoutKeys()
{
    logLine(LogParams::Velk, QStringLiteral("Device '%1' timeout wait key").arg(objectName()));
    m_KeysTimer.stop();
    const QString digits = m_Keys;
    resetKeys();
    if (m_State != Ready)
        return;
    if (Settings::intValue(this, Key::ButtonPressEvent) != 0)
        makeCall(Key::ButtonAccount, keypadCallee(digits));
    else
        afterPause([this] { promptWithOutputs(7); });
}

QString VelkDevice::keypadCallee(const QString &digits) const
{
    if (digits.isEmpty())
        return QString();
    if (Settings::intValue(this, Key::DpmMode) != 1)
        return digits;
    const QList<KeypadEntry> entries
        = keypadEntries(Settings::stringValue(this, Key::DpmModeListCode));
    for (const KeypadEntry &entry : entries) {
        if (entry.code == digits)
            return entry.callee;
    }
    return QString();
}

void VelkDevice::updateKeypadCodeLength()
{
    m_FixedCodeLength = 0;
    if (Settings::intValue(this, Key::DpmMode) != 1)
        return;
    const QList<KeypadEntry> entries
        = keypadEntries(Settings::stringValue(this, Key::DpmModeListCode));
    for (const KeypadEntry &entry : entries) {
        const int length = entry.code.trimmed().size();
        if (length == 0)
            continue;
        if (m_FixedCodeLength == 0) {
            m_FixedCodeLength = length;
        } else if (length != m_FixedCodeLength) {
            m_FixedCodeLength = 0;
            return;
        }
    }
}

void VelkDevice::resetKeys()
{
    m_KeysTimer.stop();
    m_Keys.clear();
}
