#pragma once

#include <QString>

// What the door devices ask of the SIP engine. The engine implements it and hands itself to the
// module (Velk::setSipServices); until then devices run without the SIP side hearing of them.
class VelkSipServices
{
public:
    virtual ~VelkSipServices() = default;

    // Marks the SIP users bound to the device registered, or busy, or not.
    virtual void isDeviceRegisteredChanged(int device, bool state) = 0;
    virtual void isDeviceBusyChanged(int device, bool state) = 0;
    // Plays a prompt (-1 none) to each side of the user's conversation of that Call-ID.
    virtual void resultSipInfo(const QString &callId, const QString &fromUser, int fromPlaySound,
                               const QString &toUser, int toPlaySound)
        = 0;
    // Another device took the call over: the user forgets the call and the conversation drops
    // that leg.
    virtual void callIntercepted(const QString &conversationName, const QString &userName,
                                 const QString &callId)
        = 0;

protected:
    VelkSipServices() = default;
    VelkSipServices(const VelkSipServices &) = default;
    VelkSipServices &operator=(const VelkSipServices &) = default;
};
