#include "sip/sipvideocontrol.h"

AttendedThread *createVideoControl(const uchar &logRtsp, QObject *parent)
{
    Q_UNUSED(logRtsp)
    return new IdleVideoControl(parent);
}

IdleVideoControl::IdleVideoControl(QObject *parent)
    : AttendedThread(parent)
{
    setObjectName(QStringLiteral("IdleVideoControl"));
}

void IdleVideoControl::startControl(QString, QString, QString) { }

void IdleVideoControl::stopControl() { }
