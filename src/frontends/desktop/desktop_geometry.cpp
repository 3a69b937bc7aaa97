#include "frontends/desktop/desktop_geometry.h"

#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QWidget>
#include <cmath>

namespace larvek {
namespace {

QSize PrimaryScreenSize() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  return screen ? screen->geometry().size() : QSize(0, 0);
}

}  // namespace

int DesktopGeometry::ShowCmd() const {
  if (window_.isMinimized()) return kShowMinimized;
  if (window_.isMaximized()) return kShowMaximized;
  return kShowNormal;
}

int DesktopGeometry::PixelsPerInch() const {
  const QScreen* screen = QGuiApplication::primaryScreen();
  return screen ? static_cast<int>(std::lround(screen->logicalDotsPerInch())) : 96;
}

int DesktopGeometry::ScreenWidth() const {
  return PrimaryScreenSize().width();
}

int DesktopGeometry::ScreenHeight() const {
  return PrimaryScreenSize().height();
}

Rect DesktopGeometry::NormalRect() const {
  // normalGeometry() is the geometry a maximised or full-screen window returns to; for any
  // other state it is the current geometry.
  QRect r = window_.normalGeometry();
  if (!r.isValid()) r = window_.geometry();
  return Rect{r.x(), r.y(), r.x() + r.width(), r.y() + r.height()};
}

void DesktopGeometry::Apply(int /*flags*/, const MinMaxPos& /*min_max*/, const Rect& normal) {
  // The widget keeps its minimum size: a smaller rectangle is enlarged at its top-left corner.
  window_.setGeometry(
      QRect(normal.left, normal.top, normal.right - normal.left, normal.bottom - normal.top));
}

}  // namespace larvek
