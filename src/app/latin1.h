#pragma once

#include <QString>

#include <string>

namespace tavrix {

// A text of one byte per character: characters outside Latin-1 become "?".
std::string Latin1(const QString& text);

} // namespace tavrix
