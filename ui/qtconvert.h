#pragma once

#include <string>

#include <QString>

namespace tw {

// Text crosses into Qt only at the windows; the narrow encoding is UTF-8.
inline QString qs(const std::string& s)
{
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

} // namespace tw
