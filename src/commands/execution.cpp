// Command execution: filling the templates, running them on the shared query under the
// watchdog, and building the replies.
#include "base/error.h"
#include "commands/command_processor.h"
#include "commands/placeholders.h"
#include "commands/text_utils.h"
#include "db/db_connection.h"
#include "db/db_query.h"
#include "net/terminal_connection.h"
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
void CommandProcessor::SetTemplate(const std::string& templ, const ParameterValues& params) {
  query_.SqlClear();
  query_.SqlAdd(templ);
  query_.SetSqlTemplate(query_.SqlText(), [params](std::string_view statement, EscapeMode mode) {
    return FillPlaceholders(statement, params, mode);
  });
}

void CommandProcessor::Reply(TerminalConnection& client, const std::string& text_without_cr,
                             bool add_cr) {
  client.SendText(add_cr ? text_without_cr + "\r" : text_without_cr);
  log_("Odeslal na " + client.PeerAddress() + ": " + text_without_cr);
}

// Records of the open result: command name, ";" + each listed column, T, per row; the whole
// text transliterated to ASCII letters, then one CR.
void CommandProcessor::SendRecords(TerminalConnection& client) {
  const int m = TokenCount(current_.result_columns, '|');
  std::string records;
  while (!query_.AtEnd()) {
    records += current_.name;
    for (int i = 0; i < m; ++i) {
      records += ';';
      records += query_.ColumnByName(TokenAt(current_.result_columns, '|', i)).AsString();
    }
    records += settings_.terminator;
    query_.NextRow();
  }
  Reply(client, TranslitToAscii(records));
}

void CommandProcessor::SendEmptyResult(TerminalConnection& client) {
  Reply(client, current_.name + ";" + current_.empty_result_text);
}

void CommandProcessor::Finish() {
  query_.Close();
  connection_.Disconnect();
}

void CommandProcessor::Arm() {
  if (settings_.watchdog_on) watchdog_.SetEnabled(true);
}

void CommandProcessor::Disarm() {
  watchdog_.SetEnabled(false);
}

void CommandProcessor::Execute(TerminalConnection& client, const std::string& a,
                               const std::string& b, const std::string& c, const std::string& d,
                               const std::string& e) {
  const ParameterValues params = {a, b, c, d, e};
  latest_terminal_ = &client;

  query_.SqlClear();
  query_.SqlAdd(kSetNames);
  query_.ExecuteStatement();

  const std::string templ1 = current_.statement1;
  const std::string templ2 = current_.statement2;
  const bool modifying = IsModifying(templ1);
  SetTemplate(templ1, params);

  // Each guarded region ends the request with the error reply when anything inside it fails;
  // the query stays open, the link stays up and the watchdog stays armed.
  auto guarded = [&](auto&& region) -> bool {
    try {
      region();
      return true;
    } catch (const std::exception&) {
      Reply(client, current_.name + ";error" + settings_.terminator);
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
    if (reset) ResetUserVariables(*reset);
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
  ResetUserVariables(templ2);
  Finish();
}

}  // namespace larvek
