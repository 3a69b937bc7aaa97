// Saving and restoring the main window's position in the window section [Tsrvlarvek] of the own
// configuration file. The desktop front end supplies the window through WindowGeometry.
//
// Keys, written in this order: FormVersion (0), Flags, ShowCmd, PixelsPerInch,
// MinMaxPos(WxH) and MinMaxPos ("minX,minY,maxX,maxY"), NormPos(WxH) and NormPos
// ("left,top,right,bottom"), Visible ("0" when saved at close, "1" at teardown). WxH is the
// primary screen's size in pixels, e.g. NormPos(1280x1024).
#pragma once

#include "config/config_store.h"

namespace larvek {

struct Rect {
  int left, top, right, bottom;
};

// The window's positions when minimised and when maximised, in screen pixels.
struct MinMaxPos {
  int min_x, min_y, max_x, max_y;
};

class WindowGeometry {
 public:
  virtual ~WindowGeometry() = default;
  // The platform's placement flags and show command (2 = minimised).
  virtual int Flags() const = 0;
  virtual int ShowCmd() const = 0;
  virtual int PixelsPerInch() const = 0;
  virtual int ScreenWidth() const = 0;
  virtual int ScreenHeight() const = 0;
  // The window's rectangle when neither minimised nor maximised, in screen pixels.
  virtual Rect NormalRect() const = 0;
  virtual MinMaxPos MinMaxPositions() const = 0;
  // Sets the placement (position and size; the minimised or maximised state stays as it is).
  virtual void Apply(int flags, const MinMaxPos& min_max, const Rect& normal) = 0;
};

// Writes the keys above. A failed write throws Error::IniFile("Unable to write to <path>")
// and ends the save.
void SaveWindowPlacement(ConfigStore& ini, const WindowGeometry& window, bool at_teardown);

// Reads the keys back and applies them when FormVersion is not negative, a MinMaxPos or NormPos
// value exists, PixelsPerInch matches the screen and the rectangle's left is less than its right.
// Words that are not numbers give 0 (MinMaxPos) or the window's current edge (NormPos).
void RestoreWindowPlacement(const ConfigStore& ini, WindowGeometry& window);

}  // namespace larvek
