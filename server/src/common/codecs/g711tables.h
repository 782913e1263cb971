#pragma once

#include <QtGlobal>

// Every G.711 code and sample precomputed from the single-sample functions, so that frame
// loops are one lookup per sample. The encoders depend only on s >> 3 (A-law) and s >> 2
// (mu-law), which index the encode tables after offsetting to zero.
struct G711Tables
{
    quint8 alawBySample[8192];
    quint8 ulawBySample[16384];
    qint16 alawToSample[256];
    qint16 ulawToSample[256];
    quint8 alawByPcm8[256];
    quint8 ulawByPcm8[256];
    quint8 alawToPcm8[256];
    quint8 ulawToPcm8[256];

    quint8 alaw(qint16 s) const { return alawBySample[(s >> 3) + 4096]; }
    quint8 ulaw(qint16 s) const { return ulawBySample[(s >> 2) + 8192]; }
};

const G711Tables &g711Tables();
