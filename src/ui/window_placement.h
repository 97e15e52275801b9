#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

class QWidget;

namespace kbx {

// Where a window of the given frame size goes so that it leaves `owner` (a
// frame geometry) readable: to its right, else below, else above, else to
// its left, always inside `screen`. When it fits nowhere without covering the
// owner, it goes where it covers the least of it, but never over `keepClear`
// (the owner's part that must stay in view) when any place spares that.
// Returns the frame's top left.
QPoint PlaceBeside(const QRect& owner, const QSize& frame, const QRect& screen, const QRect& keepClear = {});

// The widest frame that fits beside `owner` (right or left of it) on `screen`.
int RoomBeside(const QRect& owner, const QRect& screen);

// Moves the top-level window `window`, about to be shown, beside `owner` on
// the owner's screen, never over `keepClear` (global coordinates) where that
// can be helped. A window not yet shown has no frame; it is taken to get one
// as wide as the owner's.
void MoveBeside(QWidget& window, const QWidget& owner, const QRect& keepClear = {});

}  // namespace kbx
