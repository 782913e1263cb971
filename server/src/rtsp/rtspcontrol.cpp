#include "rtsp/rtspcontrol.h"

#include "core/timescale.h"
#include "rtsp/rtspobject.h"

#include <QUrl>

#include <algorithm>

namespace {

const qint64 kStopWaitMs = 16000;

} // namespace

RtspControl::RtspControl(const uchar &logRtsp, QObject *parent)
    : AttendedThread(parent)
    , logRtsp(logRtsp)
{
    qRegisterMetaType<QHostAddress>("QHostAddress");
}

void RtspControl::startControl(QString video_path, QString video_login, QString video_password)
{
    // A second worker on the same thread would never be told to stop.
    if (worker())
        stopControl();
    auto *session = new RtspObject(logRtsp);
    session->cameraUrl = QUrl(video_path, QUrl::TolerantMode);
    session->login = video_login;
    session->password = video_password;
    connect(this, &RtspControl::play, session, &RtspObject::play, Qt::QueuedConnection);
    connect(this, &RtspControl::play_suspend, session, &RtspObject::play_suspend,
            Qt::QueuedConnection);
    connect(this, &RtspControl::play_resume, session, &RtspObject::play_resume,
            Qt::QueuedConnection);
    connect(this, &RtspControl::teardown, session, &RtspObject::teardown, Qt::QueuedConnection);
    connect(session, &RtspObject::setMediaParam, this, &RtspControl::setMediaParam,
            Qt::QueuedConnection);
    connect(session, &RtspObject::setVelkVideo, this, &RtspControl::setVelkVideo,
            Qt::QueuedConnection);
    setObject(session);
    start();
}

void RtspControl::stopControl()
{
    stop();
    const qint64 real = TimeScale::toReal(kStopWaitMs);
    waitSeconds(ulong(std::max<qint64>(1, (real + 999) / 1000)));
}
