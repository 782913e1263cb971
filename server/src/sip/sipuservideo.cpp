// The door camera's video of a SipUser: its camera session and the calls that use it.
#include "sip/sipuser.h"

#include "conversation/conversationthread.h"
#include "core/attendedthread.h"
#include "core/env.h"
#include "sip/sipusersetting.h"

namespace {

// Wired by signature, so any session control with these members fits (sipvideocontrol.h).
void wire(const QObject *sender, const char *signal, const QObject *receiver, const char *member,
          Qt::ConnectionType type)
{
    if (!QObject::connect(sender, signal, receiver, member, type)) {
        logLine(LogParams::Warning,
                QStringLiteral("Camera session: cannot connect %1 to %2")
                    .arg(QLatin1String(signal + 1), QLatin1String(member + 1)));
    }
}

} // namespace

void SipUser::connectVideoControl()
{
    qRegisterMetaType<QHostAddress>("QHostAddress");
    const QObject *control = m_VideoControl;
    wire(this, SIGNAL(startVideoRtspControl(QString, QString, QString)), control,
         SLOT(startControl(QString, QString, QString)), Qt::QueuedConnection);
    // Direct: the caller waits until the session's thread has ended.
    wire(this, SIGNAL(stopVideoRtspControl()), control, SLOT(stopControl()), Qt::DirectConnection);
    wire(this, SIGNAL(play(ushort, ushort)), control, SIGNAL(play(ushort, ushort)),
         Qt::QueuedConnection);
    wire(this, SIGNAL(teardown()), control, SIGNAL(teardown()), Qt::QueuedConnection);
    wire(control, SIGNAL(setMediaParam(uchar, QString, QString)), this,
         SLOT(setMediaParam(uchar, QString, QString)), Qt::QueuedConnection);
    wire(control, SIGNAL(setVelkVideo(QHostAddress, ushort, QHostAddress, ushort)), this,
         SIGNAL(setVelkVideo(QHostAddress, ushort, QHostAddress, ushort)), Qt::QueuedConnection);
}

void SipUser::applyVideo()
{
    emit stopVideoRtspControl();
    if (!userSettingBool(this, SipUserSetting::VelkVideoEnable)
        || userSettingInt(this, SipUserSetting::TypeUser) != VelkAccount)
        return;
    emit startVideoRtspControl(userSetting(this, SipUserSetting::VelkVideoPath),
                               userSetting(this, SipUserSetting::VelkVideoLogin),
                               userSetting(this, SipUserSetting::VelkVideoPassword));
}

void SipUser::onPlay(ConversationThread *conversation)
{
    // A call without video has no ports to stream to: the camera would be asked for port 0.
    if (conversation == nullptr || !conversation->video() || conversation->videoRtpPort() == 0
        || conversation->videoRtcpPort() == 0)
        return;
    const QObject *control = m_VideoControl;
    // Unique: a conversation played again keeps one hold, resume and end each.
    const auto once = Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection);
    connect(conversation, SIGNAL(play_suspend()), control, SIGNAL(play_suspend()), once);
    connect(conversation, SIGNAL(play_resume()), control, SIGNAL(play_resume()), once);
    connect(conversation, SIGNAL(play_end()), control, SIGNAL(teardown()), once);
    emit play(conversation->videoRtpPort(), conversation->videoRtcpPort());
}

void SipUser::setMediaParam(uchar codec, QString codec_info, QString codec_fmtp)
{
    m_VideoCodec = codec;
    m_VideoCodecInfo = codec_info;
    m_VideoCodecFmtp = codec_fmtp;
}
