#pragma once

#include <QString>

namespace KUriSchemes {
enum Type : int {
    None = 0,
    Sip = 1,
};
// The scheme as a pattern fragment ("[Ss][Ii][Pp]"), empty for None.
QString pattern(Type scheme);
// The prefix the URI patterns start with ("[Ss][Ii][Pp]:"), empty for None.
QString patternPrefix(Type scheme);
// What a written URI starts with ("sip:"), empty for None.
QString outputPrefix(Type scheme);
} // namespace KUriSchemes
