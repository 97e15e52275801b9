#include "ui/window_placement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <algorithm>
#include <array>

namespace kbx {

namespace {

constexpr int kGap = 8;

// Keeps a frame of the given size inside the screen (its top left first,
// should it be larger than the screen).
QPoint Inside(QPoint topLeft, const QSize& frame, const QRect& screen) {
  topLeft.setX(std::max(screen.left(), std::min(topLeft.x(), screen.right() + 1 - frame.width())));
  topLeft.setY(std::max(screen.top(), std::min(topLeft.y(), screen.bottom() + 1 - frame.height())));
  return topLeft;
}

long long Area(const QRect& rect) {
  return rect.isEmpty() ? 0 : static_cast<long long>(rect.width()) * rect.height();
}

}  // namespace

QPoint PlaceBeside(const QRect& owner, const QSize& frame, const QRect& screen, const QRect& keepClear) {
  const std::array<QPoint, 6> candidates{
      QPoint(owner.right() + 1 + kGap, owner.top()),              // right
      QPoint(owner.left(), owner.bottom() + 1 + kGap),            // below
      QPoint(owner.left(), owner.top() - kGap - frame.height()),  // above
      QPoint(owner.left() - kGap - frame.width(), owner.top()),   // left
      // Over the owner, but below the part that must stay in view.
      QPoint(owner.right() + 1 - frame.width(), keepClear.bottom() + 1 + kGap),
      QPoint(owner.left(), keepClear.bottom() + 1 + kGap),
  };
  QPoint best;
  long long leastCovered = -1;
  bool bestKeepsClear = false;
  const std::size_t tried = keepClear.isEmpty() ? 4 : candidates.size();
  for (std::size_t c = 0; c < tried; ++c) {
    const QPoint placed = Inside(candidates[c], frame, screen);
    const QRect area(placed, frame);
    const long long covered = Area(area.intersected(owner));
    const bool keepsClear = !area.intersects(keepClear);
    // Sparing the part in view comes first, then covering less.
    if (leastCovered < 0 || (keepsClear && !bestKeepsClear) ||
        (keepsClear == bestKeepsClear && covered < leastCovered)) {
      best = placed;
      leastCovered = covered;
      bestKeepsClear = keepsClear;
    }
    if (covered == 0) break;
  }
  return best;
}

int RoomBeside(const QRect& owner, const QRect& screen) {
  return std::max(screen.right() - owner.right() - kGap, owner.left() - screen.left() - kGap);
}

void MoveBeside(QWidget& window, const QWidget& owner, const QRect& keepClear) {
  const QRect ownerFrame = owner.frameGeometry();
  const QSize decoration = ownerFrame.size() - owner.geometry().size();
  QScreen* screen = owner.screen() ? owner.screen() : QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  QSize size = window.testAttribute(Qt::WA_Resized) ? window.size() : window.sizeHint();
  size = window.isVisible() ? window.frameGeometry().size() : size + decoration;
  window.move(PlaceBeside(ownerFrame, size, screen->availableGeometry(), keepClear));
}

}  // namespace kbx
