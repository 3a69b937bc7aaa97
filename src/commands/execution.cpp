// Command execution: filling the templates, running them on the shared query under the
// watchdog, and building the replies.
#include "app/error.h"
#include "commands/command_processor.h"
#include "commands/placeholders.h"
#include "commands/text_utils.h"
#include "db/db_connection.h"
#include "db/db_query.h"
#include "net/tcp_srv_client.h"
#include "platform/timer.h"

namespace larvek {
namespace {

const char kSetNames[] = "SET NAMES cp1250";

// A template is modifying when its text as defined holds one of these words (case matters).
bool IsModifying(const std::string& templ) {
  return templ.find("delete") != std::string::npos || templ.find("update") != std::string::npos ||
         templ.find("insert") != std::string::npos;
}

}  // namespace

// Sets the template as the shared query's text; the parameters go into its placeholders only
// when the statement is sent, after preparation, so the statement's shape is the template's.
void TCommandProcessor::SetTemplate(const std::string& templ, const ParameterValues& params) {
  query_.SqlClear();
  query_.SqlAdd(templ);
  query_.SetSqlTemplate(query_.SqlText(), [params](std::string_view statement, EscapeMode mode) {
    return FillPlaceholders(statement, params, mode);
  });
}

void TCommandProcessor::Reply(TTcpSrvClient& client, const std::string& text_without_cr,
                              bool add_cr) {
  client.SendText(add_cr ? text_without_cr + "\r" : text_without_cr);
  log_("Odeslal na " + client.PeerAddress() + ": " + text_without_cr);
}

// Records of the open result: command name, ";" + each listed column, T, per row; the whole
// text transliterated to ASCII letters, then one CR.
void TCommandProcessor::SendRecords(TTcpSrvClient& client) {
  const int m = TokenCount(current_.do_ctecky, '|');
  std::string records;
  while (!query_.AtEnd()) {
    records += current_.name;
    for (int i = 0; i < m; ++i) {
      records += ';';
      records += query_.ColumnByName(TokenAt(current_.do_ctecky, '|', i)).AsString();
    }
    records += settings_.ukoncovac;
    query_.NextRow();
  }
  Reply(client, TranslitToAscii(records));
}

void TCommandProcessor::SendEmptyResult(TTcpSrvClient& client) {
  Reply(client, current_.name + ";" + current_.chyba);
}

void TCommandProcessor::Finish() {
  query_.Close();
  connection_.Disconnect();
}

void TCommandProcessor::Arm() {
  if (settings_.interval_on) watchdog_.SetEnabled(true);
}

void TCommandProcessor::Disarm() {
  watchdog_.SetEnabled(false);
}

void TCommandProcessor::zpracQ(TTcpSrvClient& client, const std::string& a, const std::string& b,
                               const std::string& c, const std::string& d, const std::string& e) {
  const ParameterValues params = {a, b, c, d, e};
  last_client_ = &client;

  query_.SqlClear();
  query_.SqlAdd(kSetNames);
  query_.ExecuteStatement();

  const std::string templ1 = current_.prikaz_SQL1;
  const std::string templ2 = current_.prikaz_SQL2;
  const bool modifying = IsModifying(templ1);
  SetTemplate(templ1, params);

  // Each guarded region ends the request with the error reply when anything inside it fails;
  // the query stays open, the link stays up and the watchdog stays armed.
  auto guarded = [&](auto&& region) -> bool {
    try {
      region();
      return true;
    } catch (const std::exception&) {
      Reply(client, current_.name + ";error" + settings_.ukoncovac);
      return false;
    }
  };
  // Opens the query under the watchdog; without rows answers the empty result, after `reset`.
  // True when the result has rows.
  auto open_watched = [&](const std::string* reset) {
    Arm();
    query_.Open();
    Disarm();
    if (!query_.NoRows()) return true;
    if (reset) smaz(*reset);
    SendEmptyResult(client);
    Finish();
    return false;
  };

  bool has_rows = true;
  if (modifying) {
    // Executed on its own also when there is no second template; the terminal then gets the
    // reply of an empty record set (a lone CR).
    if (!guarded([&] {
          Arm();
          query_.ExecuteStatement();
          Disarm();
        }))
      return;
  } else if (!guarded([&] { has_rows = open_watched(nullptr); }) || !has_rows) {
    return;
  }

  if (templ2.empty()) {
    SendRecords(client);
    Finish();
    return;
  }

  query_.Close();
  SetTemplate(templ2, params);
  if (!guarded([&] { has_rows = open_watched(&templ1); }) || !has_rows) return;

  SendRecords(client);
  smaz(templ2);
  Finish();
}

}  // namespace larvek
