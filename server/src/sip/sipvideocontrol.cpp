#include "sip/sipvideocontrol.h"

#include "rtsp/rtspcontrol.h"

AttendedThread *createVideoControl(const uchar &logRtsp, QObject *parent)
{
    return new RtspControl(logRtsp, parent);
}
