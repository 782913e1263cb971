#pragma once

class QSettings;

// Writes what was set in the file to disk now. False, with the reason in the log, when it could
// not be written: what was set stays in memory and goes with the file's next write.
bool writeSettingsFile(QSettings &file);
