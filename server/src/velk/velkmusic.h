#pragma once

#include <QMetaType>

// Moves of a playing music playlist, as the dial plan asks for them.
enum VelkMusic : int {
    VelkMusicPrevious = -1,
    VelkMusicBegin = 0,
    VelkMusicNext = 1,
};

Q_DECLARE_METATYPE(VelkMusic)
