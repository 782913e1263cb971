#include "core/settingsfile.h"

#include "core/env.h"

#include <QSettings>

bool writeSettingsFile(QSettings &file)
{
    file.sync();
    QSettings::Status status = file.status();
    // A handle keeps the first error it met, a read's as well as a write's, for good. A second
    // handle on the file shares the unwritten changes and writes them as it opens (characters
    // outside ASCII as escapes, which read the same): its status is this moment's.
    if (status != QSettings::NoError) {
        QSettings again(file.fileName(), file.format());
        status = again.status();
    }
    if (status != QSettings::AccessError)
        return true;
    logLine(LogParams::Warning,
            QStringLiteral("Settings file '%1' could not be written").arg(file.fileName()));
    return false;
}
