// Per-request reading of command definitions from the own configuration file: five key reads
// per request through the caching store, against re-reading and parsing the file for every key
// (what a store without a kept copy does).
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "config/config_store.h"
#include "config/ini_file.h"

namespace {

std::string OwnFile(std::vector<std::string>& commands) {
  std::string s =
      "[LogOn]\r\nIP=192.168.1.10\r\nUser=larvek\r\nPassword=heslo\r\nSQLport=3306\r\n"
      "Database=larvek\r\n\r\n[Server]\r\nUkoncovac=\r\nServer_port=2000\r\nMax_time=5000\r\n"
      "Interval_on=True\r\n\r\n[Regional]\r\nShortDateFormat=d.m.yyyy\r\n\r\n";
  for (int i = 0; i < 16; ++i) {
    std::string name = "CMD" + std::to_string(i);
    commands.push_back(name);
    s += "[" + name + "]\r\n; terminal command " + std::to_string(i) + "\r\nZe_ctecky=1\r\n" +
         "Do_ctecky=kod,nazev,mnozstvi\r\n" +
         "Prikaz_SQL1=select kod, nazev, mnozstvi from sklad where kod = %a% and sklad = %b% "
         "and stav in (1, 2, 3) order by nazev limit 20\r\n" +
         "Prikaz_SQL2=update sklad set naposledy = now() where kod = %a%\r\n" +
         "Chyba=Chyba prikazu " + name + "\r\n\r\n";
  }
  s += "[Tsrvlarvek]\r\nFormVersion=0\r\nFlags=0\r\nShowCmd=1\r\nPixelsPerInch=96\r\n"
       "NormPos=327,392,680,700\r\nVisible=0\r\n";
  return s;
}

template <typename Request>
double MicrosPerRequest(int requests, Request request) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < requests; ++i) request(i);
  std::chrono::duration<double, std::micro> d = std::chrono::steady_clock::now() - start;
  return d.count() / requests;
}

}  // namespace

int main() {
  std::string dir = (std::filesystem::temp_directory_path() / "larvek-bench-XXXXXX").string();
  if (!mkdtemp(dir.data())) return 1;
  const std::string path = dir + "/srvlarvek.INI";
  std::vector<std::string> commands;
  const std::string content = OwnFile(commands);
  std::ofstream(path, std::ios::binary) << content;
  // The store re-reads files changed within the last two seconds; wait until this one is older.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));

  size_t sink = 0;
  const int kRequests = 20000;
  larvek::ConfigStore ini(path);
  auto cached = [&](int i) {
    const std::string& section = commands[i % commands.size()];
    sink += ini.ReadNumber(section, "Ze_ctecky", 0);
    sink += ini.ReadText(section, "Do_ctecky", "").size();
    sink += ini.ReadText(section, "Prikaz_SQL1", "").size();
    sink += ini.ReadText(section, "Prikaz_SQL2", "").size();
    sink += ini.ReadText(section, "Chyba", "*****").size();
  };
  auto uncached = [&](int i) {
    const std::string& section = commands[i % commands.size()];
    sink += larvek::IniFile::Load(path).ReadNumber(section, "Ze_ctecky", 0);
    sink += larvek::IniFile::Load(path).ReadText(section, "Do_ctecky", "").size();
    sink += larvek::IniFile::Load(path).ReadText(section, "Prikaz_SQL1", "").size();
    sink += larvek::IniFile::Load(path).ReadText(section, "Prikaz_SQL2", "").size();
    sink += larvek::IniFile::Load(path).ReadText(section, "Chyba", "*****").size();
  };
  cached(0);
  uncached(0);
  double u = MicrosPerRequest(kRequests, uncached);
  double c = MicrosPerRequest(kRequests, cached);

  std::printf("own file: %zu bytes, %zu command sections, 5 key reads per request\n",
              content.size(), commands.size());
  std::printf("uncached (read+parse per key): %8.2f us/request\n", u);
  std::printf("cached (stat per key):         %8.2f us/request\n", c);
  std::printf("ratio uncached/cached:         %8.1fx\n", u / c);
  std::filesystem::remove_all(dir);
  return sink == 0;  // keeps the reads from being optimised away
}
