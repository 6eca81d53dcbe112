#pragma once

#include <QString>

#include <string>

namespace VistelCapture
{

// The windows' text conversions: the model speaks std::wstring, Qt QString.
inline QString ToQString(const std::wstring& text)
{
    return QString::fromStdWString(text);
}

inline std::wstring ToWideString(const QString& text)
{
    return text.toStdWString();
}

} // namespace VistelCapture
