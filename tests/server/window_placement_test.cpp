#include "server/window_placement.h"

#include <gtest/gtest.h>

#include "base/error.h"
#include "temp_dir.h"

namespace larvek {
namespace {

using testing::TempDir;

class FakeWindow : public WindowGeometry {
 public:
  int flags = 0, show_cmd = 1, ppi = 96, width = 1280, height = 1024;
  Rect normal{327, 392, 680, 700};
  MinMaxPos min_max{-1, -1, -8, -8};

  struct Applied {
    int flags;
    MinMaxPos min_max;
    Rect normal;
  };
  std::optional<Applied> applied;

  int Flags() const override { return flags; }
  int ShowCmd() const override { return show_cmd; }
  int PixelsPerInch() const override { return ppi; }
  int ScreenWidth() const override { return width; }
  int ScreenHeight() const override { return height; }
  Rect NormalRect() const override { return normal; }
  MinMaxPos MinMaxPositions() const override { return min_max; }
  void Apply(int f, const MinMaxPos& m, const Rect& r) override { applied = Applied{f, m, r}; }
};

std::string Describe(const std::optional<FakeWindow::Applied>& a) {
  if (!a) return "nothing";
  char buf[128];
  std::snprintf(buf, sizeof buf, "flags=%d minmax=%d,%d,%d,%d normal=%d,%d,%d,%d", a->flags,
                a->min_max.min_x, a->min_max.min_y, a->min_max.max_x, a->min_max.max_y,
                a->normal.left, a->normal.top, a->normal.right, a->normal.bottom);
  return buf;
}

TEST(WindowPlacementTest, SaveWritesTheKeysInOrderIntoTheWindowSection) {
  TempDir dir;
  const std::string head = "[LogOn]\r\nIP=db\r\n\r\n[ABC]\r\nPrikaz_SQL1=select \"x\"\r\n";
  const std::string own = dir.Write("srvlarvek.INI", head);
  ConfigStore ini(own);
  FakeWindow w;
  w.show_cmd = 2;
  w.flags = 2;
  SaveWindowPlacement(ini, w, false);
  EXPECT_EQ(TempDir::Read(own),
            head +
                "[Tsrvlarvek]\r\nFormVersion=0\r\nFlags=2\r\nShowCmd=2\r\n"
                "PixelsPerInch=96\r\nMinMaxPos(1280x1024)=-1,-1,-8,-8\r\n"
                "MinMaxPos=-1,-1,-8,-8\r\nNormPos(1280x1024)=327,392,680,700\r\n"
                "NormPos=327,392,680,700\r\nVisible=0\r\n");

  // A second save replaces the values in place and leaves the other sections alone.
  w.normal = {10, 20, 300, 400};
  w.width = 1920;
  SaveWindowPlacement(ini, w, true);
  EXPECT_EQ(TempDir::Read(own),
            head +
                "[Tsrvlarvek]\r\nFormVersion=0\r\nFlags=2\r\nShowCmd=2\r\n"
                "PixelsPerInch=96\r\nMinMaxPos(1280x1024)=-1,-1,-8,-8\r\n"
                "MinMaxPos=-1,-1,-8,-8\r\nNormPos(1280x1024)=327,392,680,700\r\n"
                "NormPos=10,20,300,400\r\nVisible=1\r\n"
                "MinMaxPos(1920x1024)=-1,-1,-8,-8\r\n"
                "NormPos(1920x1024)=10,20,300,400\r\n");
}

TEST(WindowPlacementTest, SaveAndRestoreRoundTrip) {
  TempDir dir;
  ConfigStore ini(dir.Path() + "srvlarvek.INI");
  FakeWindow saved;
  saved.flags = 2;
  saved.normal = {5, 6, 700, 800};
  saved.min_max = {3, 4, -4, -5};
  SaveWindowPlacement(ini, saved, false);

  FakeWindow restored;
  RestoreWindowPlacement(ini, restored);
  EXPECT_EQ(Describe(restored.applied), "flags=2 minmax=3,4,-4,-5 normal=5,6,700,800");
}

struct RestoreCase {
  const char* name;
  std::string section;  // lines of [Server]
  std::string expected;
};

TEST(WindowPlacementTest, RestoreFollowsTheStoredValues) {
  // The fake window: flags 0, 96 ppi, 1280x1024, normal 327,392,680,700, minmax -1,-1,-8,-8.
  const RestoreCase cases[] = {
      {"nothing stored", "", "nothing"},
      {"only flags", "Flags=3\n", "nothing"},
      {"screen value preferred", "NormPos(1280x1024)=1,2,3,4\nNormPos=9,9,99,99\n",
       "flags=0 minmax=-1,-1,-8,-8 normal=1,2,3,4"},
      {"plain value for another screen", "NormPos(800x600)=1,2,3,4\nNormPos=9,9,99,99\n",
       "flags=0 minmax=-1,-1,-8,-8 normal=9,9,99,99"},
      {"empty screen value falls back", "NormPos(1280x1024)=\nNormPos=9,9,99,99\n",
       "flags=0 minmax=-1,-1,-8,-8 normal=9,9,99,99"},
      {"minmax alone applies the current rectangle", "MinMaxPos=1, 2 ,3\t4\nFlags=1\n",
       "flags=1 minmax=1,2,3,4 normal=327,392,680,700"},
      {"minmax non-numbers and missing words are 0", "MinMaxPos=x,,5\n",
       "flags=0 minmax=0,5,0,0 normal=327,392,680,700"},
      {"normpos non-numbers keep current edges", "NormPos=a,10,b\n",
       "flags=0 minmax=-1,-1,-8,-8 normal=327,10,680,700"},
      {"hex words", "NormPos=$10,0x20,$100,0x200\n",
       "flags=0 minmax=-1,-1,-8,-8 normal=16,32,256,512"},
      {"negative FormVersion", "FormVersion=-1\nNormPos=1,2,3,4\n", "nothing"},
      {"bad FormVersion counts as 0", "FormVersion=x\nNormPos=1,2,3,4\n",
       "flags=0 minmax=-1,-1,-8,-8 normal=1,2,3,4"},
      {"other pixels per inch", "PixelsPerInch=120\nNormPos=1,2,3,4\n", "nothing"},
      {"same pixels per inch", "PixelsPerInch=96\nNormPos=1,2,3,4\n",
       "flags=0 minmax=-1,-1,-8,-8 normal=1,2,3,4"},
      {"left not less than right", "NormPos=300,2,300,4\n", "nothing"},
      {"ShowCmd is not restored", "ShowCmd=2\nFlags=2\nNormPos=1,2,3,4\n",
       "flags=2 minmax=-1,-1,-8,-8 normal=1,2,3,4"},
  };
  for (const RestoreCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ConfigStore ini(
        dir.Write("srvlarvek.INI", "[Server]\nNormPos=7,7,77,77\n[tsrvlarvek]\n" + c.section));
    FakeWindow w;
    RestoreWindowPlacement(ini, w);
    EXPECT_EQ(Describe(w.applied), c.expected);
  }
}

TEST(WindowPlacementTest, FailedSaveReportsTheOwnFile) {
  TempDir dir;
  const std::string own = dir.Path() + "gone/srvlarvek.INI";
  ConfigStore ini(own);
  FakeWindow w;
  try {
    SaveWindowPlacement(ini, w, false);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.ClassName(), kIniFileError);
    EXPECT_EQ(e.Message(), "Unable to write to " + own);
  }
}

}  // namespace
}  // namespace larvek
