#pragma once

#include "common/codecs/audiocodec.h"

#include <QString>

// The RTP payload number and rtpmap text of each audio codec; 255 means no codec.
quint8 codecPayload(int codec);
// 255 gives -1, as does any number that is not one of the codecs' payloads.
int codecFromPayload(int payload);
QString codecRtpmap(int codec);
