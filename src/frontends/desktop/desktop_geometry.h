// The main window's placement as the saved window position sees it (WindowGeometry), for a Qt
// top-level widget on X11:
// - NormalRect is the window's client area (inside the frame the window manager draws) in
//   screen pixels, right and bottom exclusive (right = left + width); Apply sets it back, so a
//   saved and restored window keeps its place and size whatever the frame is;
// - Flags is always 0, there being no placement flags to keep;
// - ShowCmd uses the Windows codes: 1 normal, 2 minimised, 3 maximised;
// - the minimised and maximised positions are not kept by X11 window managers and read
//   -1,-1,-1,-1; Apply ignores them;
// - PixelsPerInch and the screen size are those of the primary screen.
#pragma once

#include "server/window_placement.h"

class QWidget;

namespace larvek {

inline constexpr int kShowNormal = 1;
inline constexpr int kShowMinimized = 2;
inline constexpr int kShowMaximized = 3;

class DesktopGeometry : public WindowGeometry {
 public:
  // `window` is not owned.
  explicit DesktopGeometry(QWidget& window) : window_(window) {}

  int Flags() const override { return 0; }
  int ShowCmd() const override;
  int PixelsPerInch() const override;
  int ScreenWidth() const override;
  int ScreenHeight() const override;
  Rect NormalRect() const override;
  MinMaxPos MinMaxPositions() const override { return MinMaxPos{-1, -1, -1, -1}; }
  void Apply(int flags, const MinMaxPos& min_max, const Rect& normal) override;

 private:
  QWidget& window_;
};

}  // namespace larvek
