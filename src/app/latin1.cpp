#include "app/latin1.h"

namespace tavrix {

std::string Latin1(const QString& text)
{
    std::string out;
    out.reserve(static_cast<std::size_t>(text.size()));
    for (const QChar ch : text) {
        out.push_back(ch.unicode() <= 0xFF ? static_cast<char>(ch.unicode()) : '?');
    }
    return out;
}

} // namespace tavrix
