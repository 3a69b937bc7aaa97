#include "config/host_list.h"

#include <gtest/gtest.h>

#include <string>

#include "base/text.h"

namespace larvek {
namespace {

// The parsed list as text, or "refused: " + the reason.
std::string Parsed(const std::string& text) {
  const Result<std::vector<HostPort>, HostListFailure> list = ParseHostList(text, 3306);
  if (!list) return "refused: " + list.Failure().reason;
  std::string out;
  for (const HostPort& entry : list.Value())
    out += (out.empty() ? "" : " | ") + entry.host + " " + std::to_string(entry.port);
  return out;
}

TEST(HostListTest, ReadsEntriesPortsAndBracketedAddresses) {
  const struct {
    const char* text;
    const char* expected;
  } cases[] = {
      {"", " 3306"},  // the local socket, as an empty IP always meant
      {"  ", " 3306"},
      {"db1", "db1 3306"},
      {"10.0.0.5:3307", "10.0.0.5 3307"},
      {" db1:1 , db2:65535,db3 ", "db1 1 | db2 65535 | db3 3306"},
      {"[::1]:3306,[fe80::1%eth0]", "::1 3306 | fe80::1%eth0 3306"},
      {"localhost", "localhost 3306"},
  };
  for (const auto& c : cases) EXPECT_EQ(Parsed(c.text), c.expected) << "'" << c.text << "'";
}

TEST(HostListTest, RefusesWhatWouldConnectSomewhereElse) {
  const std::string empty = "refused: pr\xE1zdn\xE1 polo\x9Eka";
  const std::string port = "refused: port nen\xED \xE8\xEDslo 1 a\x9E 65535: ";
  const std::string blank =
      "refused: mezera nebo \xF8\xED"
      "dic\xED znak uvnit\xF8 polo\x9Eky ";
  const std::string ipv6 =
      "refused: adresu IPv6 pi\x9Ate v hranat\xFD"
      "ch z\xE1vork\xE1"
      "ch: ";
  const struct {
    const char* text;
    std::string expected;
  } cases[] = {
      {"db1,,db2", empty},
      {"db1,", empty},
      {",db1", empty},
      {":3306", empty},
      {"db1:0", port + "'db1:0'"},
      {"db1:65536", port + "'db1:65536'"},
      {"db1:", port + "'db1:'"},
      {"db1:33o6", port + "'db1:33o6'"},
      {"db1:+3306", port + "'db1:+3306'"},
      {"db1:0000003306", port + "'db1:0000003306'"},
      {"db 1:3306", blank + "'db 1:3306'"},
      {"db1: 3306", blank + "'db1: 3306'"},
      {"db1\t:3306", blank + "'db1\t:3306'"},
      {"::1", ipv6 + "'::1'"},
      {"fe80::1:3306", ipv6 + "'fe80::1:3306'"},
      {"[::1", ipv6 + "'[::1'"},
      {"[]:3306", ipv6 + "'[]:3306'"},
      {"[::1]3306", ipv6 + "'[::1]3306'"},
  };
  for (const auto& c : cases) EXPECT_EQ(Parsed(c.text), c.expected) << "'" << c.text << "'";
}

TEST(HostListTest, TakesTimeLinearInALongList) {
  // Far more entries than any site has: read once each, none copied again per entry.
  std::string text;
  for (int i = 0; i < 100000; ++i) text += "h" + std::to_string(i) + ":" + std::to_string(i % 65535 + 1) + ",";
  text += "last";
  const Result<std::vector<HostPort>, HostListFailure> list = ParseHostList(text, 3306);
  ASSERT_TRUE(list.Ok());
  EXPECT_EQ(list.Value().size(), 100001u);
  EXPECT_EQ(list.Value().back().host, "last");
}

}  // namespace
}  // namespace larvek
