#pragma once

#include <QRect>
#include <QString>

class QWidget;

namespace tavrix {

// Window measures are given in twips; a pixel of Qt's device-independent unit is 15 twips
// (96 per inch), whatever the screen's own density.
inline constexpr int kTwipsPerPixel = 15;

// Twips in pixels, rounded to the nearest pixel.
constexpr int Twips(int twips)
{
    const int half = kTwipsPerPixel / 2;
    return twips >= 0 ? (twips + half) / kTwipsPerPixel : -((half - twips) / kTwipsPerPixel);
}

// A rectangle given in twips, in pixels.
constexpr QRect TwipsRect(int left, int top, int width, int height)
{
    return QRect(Twips(left), Twips(top), Twips(width), Twips(height));
}

// Where a window's frame goes to centre it on a screen, all in twips: half the screen minus
// half the window's inner size, each half truncated toward zero.
int CenteredEdge(int screenTwips, int innerTwips);

// Places the window in the middle of its screen by its inner size, so the frame sits a little
// right of and below the exact centre. Does nothing without a screen.
void CenterForm(QWidget& window);

// True when a file (not a directory) of that name exists.
bool FileExists(const QString& fileName);

} // namespace tavrix
