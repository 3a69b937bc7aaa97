#include "server/window_placement.h"

#include <cstdio>
#include <string>
#include <vector>

namespace larvek {

namespace {

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
  std::string v = ini.ReadText(kWindowSection, key + suffix, "");
  return v.empty() ? ini.ReadText(kWindowSection, key, "") : v;
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
  const std::string suffix = ScreenSuffix(window);
  const MinMaxPos m = window.MinMaxPositions();
  const Rect r = window.NormalRect();
  const std::string min_max = FourNumbers(m.min_x, m.min_y, m.max_x, m.max_y);
  const std::string normal = FourNumbers(r.left, r.top, r.right, r.bottom);

  ini.WriteNumber(kWindowSection, "FormVersion", 0);
  ini.WriteNumber(kWindowSection, "Flags", window.Flags());
  ini.WriteNumber(kWindowSection, "ShowCmd", window.ShowCmd());
  ini.WriteNumber(kWindowSection, "PixelsPerInch", window.PixelsPerInch());
  ini.WriteText(kWindowSection, "MinMaxPos" + suffix, min_max);
  ini.WriteText(kWindowSection, "MinMaxPos", min_max);
  ini.WriteText(kWindowSection, "NormPos" + suffix, normal);
  ini.WriteText(kWindowSection, "NormPos", normal);
  ini.WriteText(kWindowSection, "Visible", at_teardown ? "1" : "0");
}

void RestoreWindowPlacement(const ConfigStore& ini, WindowGeometry& window) {
  if (ini.ReadNumber(kWindowSection, "FormVersion", 0) < 0) return;
  const int flags = ini.ReadNumber(kWindowSection, "Flags", window.Flags());
  const std::string suffix = ScreenSuffix(window);

  MinMaxPos m = window.MinMaxPositions();
  const std::string min_max = ReadPosition(ini, "MinMaxPos", suffix);
  if (!min_max.empty()) {
    std::vector<std::string> w = Words(min_max);
    m = MinMaxPos{Number(w, 0, 0), Number(w, 1, 0), Number(w, 2, 0), Number(w, 3, 0)};
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
  if (ini.ReadNumber(kWindowSection, "PixelsPerInch", ppi) != ppi) return;
  if ((!min_max.empty() || !normal.empty()) && r.left < r.right) window.Apply(flags, m, r);
}

}  // namespace larvek
