#include "gui/form_helpers.h"

#include <QFileInfo>
#include <QScreen>
#include <QWidget>

namespace tavrix {

int CenteredEdge(int screenTwips, int innerTwips)
{
    return screenTwips / 2 - innerTwips / 2;
}

void CenterForm(QWidget& window)
{
    const QScreen* screen = window.screen();
    if (screen == nullptr) {
        return;
    }
    const QRect area = screen->geometry();
    const int left = CenteredEdge(area.width() * kTwipsPerPixel, window.width() * kTwipsPerPixel);
    const int top = CenteredEdge(area.height() * kTwipsPerPixel, window.height() * kTwipsPerPixel);
    window.move(area.x() + Twips(left), area.y() + Twips(top));
}

bool FileExists(const QString& fileName)
{
    const QFileInfo info(fileName);
    return info.exists() && !info.isDir();
}

} // namespace tavrix
