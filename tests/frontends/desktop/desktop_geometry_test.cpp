#include "frontends/desktop/desktop_geometry.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include "config/config_store.h"
#include "temp_dir.h"

namespace larvek {
namespace {

class DesktopGeometryTest : public ::testing::Test {
 protected:
  DesktopGeometryTest() : ini(dir.Path() + "srvlarvek.INI") {}

  std::string Key(const std::string& key) const {
    return ini.ReadText(kWindowSection, key, "<missing>");
  }
  std::string Suffix() const {
    const QSize s = QGuiApplication::primaryScreen()->geometry().size();
    return "(" + std::to_string(s.width()) + "x" + std::to_string(s.height()) + ")";
  }

  testing::TempDir dir;
  ConfigStore ini;
};

TEST_F(DesktopGeometryTest, SavedRectangleIsRestoredExactly) {
  QWidget first;
  first.setMinimumSize(283, 64);
  first.setGeometry(101, 122, 400, 300);
  DesktopGeometry saved(first);
  SaveWindowPlacement(ini, saved, false);

  // Right and bottom are exclusive, as the key's rectangle expects.
  EXPECT_EQ(Key("NormPos" + Suffix()), "101,122,501,422");
  EXPECT_EQ(Key("NormPos"), "101,122,501,422");
  EXPECT_EQ(Key("MinMaxPos"), "-1,-1,-1,-1");
  EXPECT_EQ(Key("Flags"), "0");
  EXPECT_EQ(Key("ShowCmd"), "1");
  EXPECT_EQ(Key("PixelsPerInch"), std::to_string(saved.PixelsPerInch()));

  QWidget second;
  second.setMinimumSize(283, 64);
  second.setGeometry(327, 392, 345, 279);
  DesktopGeometry restored(second);
  RestoreWindowPlacement(ini, restored);
  EXPECT_EQ(second.geometry(), QRect(101, 122, 400, 300));
  // Saving again gives the same keys: nothing drifts from run to run.
  SaveWindowPlacement(ini, restored, true);
  EXPECT_EQ(Key("NormPos"), "101,122,501,422");
}

TEST_F(DesktopGeometryTest, ShowCommandFollowsTheWindowState) {
  const struct {
    Qt::WindowStates state;
    int show_cmd;
  } cases[] = {
      {Qt::WindowNoState, kShowNormal},
      {Qt::WindowMinimized, kShowMinimized},
      {Qt::WindowMaximized, kShowMaximized},
      {Qt::WindowMinimized | Qt::WindowMaximized, kShowMinimized},
  };
  for (const auto& c : cases) {
    QWidget window;
    window.setWindowState(c.state);
    EXPECT_EQ(DesktopGeometry(window).ShowCmd(), c.show_cmd) << c.state;
  }
}

TEST_F(DesktopGeometryTest, RestoreKeepsTheMinimumSizeAndIgnoresOtherScreens) {
  ini.WriteText(kWindowSection, "NormPos", "10,20,50,30");  // 40 x 10, below the minimum
  QWidget window;
  window.setMinimumSize(283, 64);
  window.setGeometry(327, 392, 345, 279);
  DesktopGeometry geometry(window);
  RestoreWindowPlacement(ini, geometry);
  EXPECT_EQ(window.geometry(), QRect(10, 20, 283, 64));

  // Saved at another pixel density: nothing is applied.
  window.setGeometry(327, 392, 345, 279);
  ini.WriteText(kWindowSection, "NormPos", "10,20,400,300");
  ini.WriteNumber(kWindowSection, "PixelsPerInch", geometry.PixelsPerInch() + 24);
  RestoreWindowPlacement(ini, geometry);
  EXPECT_EQ(window.geometry(), QRect(327, 392, 345, 279));
}

}  // namespace
}  // namespace larvek
