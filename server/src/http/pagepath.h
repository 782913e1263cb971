#pragma once

#include <QString>

// Only a plain absolute path below the page root: no "." or ".." segment, no backslash, no NUL,
// no empty segment. Checked on the fully decoded path, so escapes cannot hide any of them.
bool isCleanPagePath(const QString &path);
