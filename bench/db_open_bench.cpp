// Cost of one Open (and Close) of a one-row SELECT through the query layer, against the same
// client-library calls made directly (real_query, store_result, fetch_row, free_result) on a
// second link with the same login, in the same run. Prints both and their ratio.
//
// Usage: db_open_bench [host [port [user [password [database [iterations]]]]]]
// Missing arguments come from LARVEK_DB_HOST, LARVEK_DB_PORT, LARVEK_DB_USER,
// LARVEK_DB_PASSWORD, LARVEK_DB_NAME (defaults 127.0.0.1, 3306, larvek, heslo, larvek).
#include <mysql.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/error.h"
#include "db/db_connection.h"
#include "db/db_query.h"

namespace {

std::string Setting(int argc, char** argv, int index, const char* env, const char* fallback) {
  if (argc > index) return argv[index];
  const char* value = std::getenv(env);
  return value ? value : fallback;
}

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
  larvek::DbConnection connection;
  larvek::LinkSettings settings;
  const larvek::HostPort host{
      Setting(argc, argv, 1, "LARVEK_DB_HOST", "127.0.0.1"),
      std::atoi(Setting(argc, argv, 2, "LARVEK_DB_PORT", "3306").c_str())};
  settings.hosts = {host};
  settings.user = Setting(argc, argv, 3, "LARVEK_DB_USER", "larvek");
  settings.password = Setting(argc, argv, 4, "LARVEK_DB_PASSWORD", "heslo");
  settings.database = Setting(argc, argv, 5, "LARVEK_DB_NAME", "larvek");
  connection.SetSettings(settings);
  const int iterations = argc > 6 ? std::atoi(argv[6]) : 20000;
  const std::string sql = "select 42 as n, 'STAV A1' as t, 12.5 as d";

  try {
    larvek::DbQuery query(connection, "DbQuery1");
    query.SqlAdd(sql);
    query.Open();  // connects
    query.Close();
    // The direct side runs on a link of its own with the same login, as the layer keeps its
    // handle to itself.
    MYSQL* mysql = mysql_init(nullptr);
    if (!mysql || !mysql_real_connect(mysql, host.host.c_str(), settings.user.c_str(),
                                      settings.password.c_str(), settings.database.c_str(),
                                      static_cast<unsigned>(host.port), nullptr, 0))
      throw std::runtime_error("connect");
    struct CloseDirect {
      MYSQL* m;
      ~CloseDirect() { mysql_close(m); }
    } close_direct{mysql};

    auto layer = [&] {
      query.Open();
      query.Close();
    };
    auto direct = [&] {
      if (mysql_real_query(mysql, sql.data(), sql.size()) != 0) throw std::runtime_error("query");
      MYSQL_RES* result = mysql_store_result(mysql);
      if (!result || !mysql_fetch_row(result)) throw std::runtime_error("result");
      mysql_free_result(result);
    };

    // Alternate blocks so that drift of the server or the machine hits both sides alike.
    const int block = 500;
    std::chrono::steady_clock::duration layer_time{}, direct_time{};
    for (int i = 0; i < 200; ++i) {  // warm-up
      layer();
      direct();
    }
    for (int done = 0; done < iterations; done += block) {
      auto t0 = std::chrono::steady_clock::now();
      for (int i = 0; i < block; ++i) direct();
      auto t1 = std::chrono::steady_clock::now();
      for (int i = 0; i < block; ++i) layer();
      auto t2 = std::chrono::steady_clock::now();
      direct_time += t1 - t0;
      layer_time += t2 - t1;
    }
    int runs = (iterations + block - 1) / block * block;
    double direct_us = Seconds(direct_time) * 1e6 / runs;
    double layer_us = Seconds(layer_time) * 1e6 / runs;
    std::printf("statement: %s\n", sql.c_str());
    std::printf("runs each: %d\n", runs);
    std::printf("client library directly: %8.2f us per open\n", direct_us);
    std::printf("DbQuery Open + Close:    %8.2f us per open\n", layer_us);
    std::printf("ratio layer / direct:    %8.3f\n", layer_us / direct_us);
  } catch (const larvek::Error& e) {
    std::fprintf(stderr, "db_open_bench: %s\n", e.Message().c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "db_open_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
