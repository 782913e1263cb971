#pragma once

#include <QString>

class VelkDevice;

// What the door devices ask of the SIP engine. The engine implements it and hands itself to the
// module (Velk::setSipServices); until then devices run without the SIP side hearing of them.
class VelkSipServices
{
public:
    virtual ~VelkSipServices() = default;

    // Marks the SIP users bound to the device registered, or busy, or not.
    virtual void isDeviceRegisteredChanged(int device, bool state) = 0;
    virtual void isDeviceBusyChanged(int device, bool state) = 0;
    // Plays a prompt (-1 none) on the device's own leg, which the call key names, and one to
    // the caller at the other end of its call.
    virtual void resultSipInfo(const QString &callKey, const QString &caller, int devicePrompt,
                               const QString &deviceUser, int callerPrompt)
        = 0;
    // Another device took the call over: the user forgets the call and the conversation drops
    // that leg.
    virtual void callIntercepted(const QString &conversationName, const QString &userName,
                                 const QString &callId)
        = 0;

    // Calls of the devices, by the names of their SIP users; call keys are the devices' own ids.
    virtual bool isStandaloneEngine() const = 0;
    // A call placed by device as callerUser: its leg is that device's whatever door the account
    // names. 0 placed, 10 answered at once, -1 busy, -2 refused.
    // A group call gives the call a key of its own.
    virtual int deviceCall(VelkDevice *device, const QString &callerUser, const QString &callee,
                           QString &callKey)
        = 0;
    // 0 when at least one member was called.
    virtual int deviceCallList(VelkDevice *device, const QString &callerUser,
                               const QString &callees, const QString &callKey)
        = 0;
    // Answers a call offered to a device with a SIP status index; false when it failed.
    virtual bool deviceRespond(const QString &fromUser, const QString &toUser,
                               const QString &dialogName, const QString &callKey, int status)
        = 0;
    virtual bool deviceAcceptCaller(const QString &fromUser, const QString &toUser,
                                    const QString &dialogName, const QString &callKey, int status)
        = 0;
    virtual void deviceHangup(const QString &user, const QString &callKey) = 0;
    virtual void deviceReject(const QString &callerUser, const QString &user,
                              const QString &callKey, const QString &dialogName)
        = 0;
    // A key pressed on the device's keypad, passed to the far end of its call.
    virtual void deviceDtmf(int device, const QString &callKey, const QString &user, uchar key,
                            uint duration)
        = 0;

protected:
    VelkSipServices() = default;
    VelkSipServices(const VelkSipServices &) = default;
    VelkSipServices &operator=(const VelkSipServices &) = default;
};
