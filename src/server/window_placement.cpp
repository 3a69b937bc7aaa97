#include "server/window_placement.h"

#include <cstdio>
#include <string>
#include <vector>

namespace larvek {

namespace {

// The window keys always go to the window section of the own file, whatever the store pointed
// at before (a start-up cut short by an error leaves it on [Server]); the previous choice is put
// back afterwards.
class WindowSectionScope {
 public:
  explicit WindowSectionScope(ConfigStore& ini)
      : ini_(ini), file_(std::move(ini.IniFileName)), section_(std::move(ini.IniSection)) {
    ini_.IniFileName.clear();
    ini_.IniSection.clear();
  }
  ~WindowSectionScope() {
    ini_.IniFileName = std::move(file_);
    ini_.IniSection = std::move(section_);
  }

 private:
  ConfigStore& ini_;
  std::string file_, section_;
};

std::string ScreenSuffix(const WindowGeometry& window) {
  return "(" + std::to_string(window.ScreenWidth()) + "x" + std::to_string(window.ScreenHeight()) +
         ")";
}

std::string FourNumbers(int a, int b, int c, int d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%d,%d,%d,%d", a, b, c, d);
  return buf;
}

// The value under key + suffix, else under the plain key; empty when neither has text.
std::string ReadPosition(const ConfigStore& ini, const std::string& key,
                         const std::string& suffix) {
  std::string v = ini.ReadText(key + suffix, "");
  return v.empty() ? ini.ReadText(key, "") : v;
}

// Splits at "," and blanks; runs of separators count as one.
std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (c == ',' || c == ' ' || c == '\t') {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

// Word `i` of `words` as a number; `def` when it is missing or not a number.
int Number(const std::vector<std::string>& words, size_t i, int def) {
  return i < words.size() ? ParseIniInteger(words[i]).value_or(def) : def;
}

}  // namespace

void SaveWindowPlacement(ConfigStore& ini, const WindowGeometry& window, bool at_teardown) {
  WindowSectionScope scope(ini);
  const std::string suffix = ScreenSuffix(window);
  int min_x, min_y, max_x, max_y;
  window.MinMaxPositions(min_x, min_y, max_x, max_y);
  const Rect r = window.NormalRect();
  const std::string min_max = FourNumbers(min_x, min_y, max_x, max_y);
  const std::string normal = FourNumbers(r.left, r.top, r.right, r.bottom);

  ini.WriteNumber("FormVersion", 0);
  ini.WriteNumber("Flags", window.Flags());
  ini.WriteNumber("ShowCmd", window.ShowCmd());
  ini.WriteNumber("PixelsPerInch", window.PixelsPerInch());
  ini.WriteText("MinMaxPos" + suffix, min_max);
  ini.WriteText("MinMaxPos", min_max);
  ini.WriteText("NormPos" + suffix, normal);
  ini.WriteText("NormPos", normal);
  ini.WriteText("Visible", at_teardown ? "1" : "0");
}

void RestoreWindowPlacement(ConfigStore& ini, WindowGeometry& window) {
  WindowSectionScope scope(ini);
  if (ini.ReadNumber("FormVersion", 0) < 0) return;
  const int flags = ini.ReadNumber("Flags", window.Flags());
  const std::string suffix = ScreenSuffix(window);

  int min_x, min_y, max_x, max_y;
  window.MinMaxPositions(min_x, min_y, max_x, max_y);
  const std::string min_max = ReadPosition(ini, "MinMaxPos", suffix);
  if (!min_max.empty()) {
    std::vector<std::string> w = Words(min_max);
    min_x = Number(w, 0, 0);
    min_y = Number(w, 1, 0);
    max_x = Number(w, 2, 0);
    max_y = Number(w, 3, 0);
  }

  Rect r = window.NormalRect();
  const std::string normal = ReadPosition(ini, "NormPos", suffix);
  if (!normal.empty()) {
    const Rect now = r;
    std::vector<std::string> w = Words(normal);
    r.left = Number(w, 0, now.left);
    r.top = Number(w, 1, now.top);
    r.right = Number(w, 2, now.right);
    r.bottom = Number(w, 3, now.bottom);
  }

  const int ppi = window.PixelsPerInch();
  if (ini.ReadNumber("PixelsPerInch", ppi) != ppi) return;
  if ((!min_max.empty() || !normal.empty()) && r.left < r.right)
    window.Apply(flags, min_x, min_y, max_x, max_y, r);
}

}  // namespace larvek
