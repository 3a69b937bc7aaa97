// Command execution: filling the templates, running them on the shared query under the
// watchdog, and building the replies.
#include "app/error.h"
#include "commands/command_processor.h"
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

// Index 0..4 of the placeholder "%a%".."%e%" (any case) starting at text[i], or -1.
int PlaceholderAt(const std::string& text, size_t i) {
  if (i + 3 > text.size() || text[i] != '%' || text[i + 2] != '%') return -1;
  char c = text[i + 1];
  if (c >= 'A' && c <= 'E') c = static_cast<char>(c - 'A' + 'a');
  return c >= 'a' && c <= 'e' ? c - 'a' : -1;
}

}  // namespace

// Puts each parameter, escaped and between double quotes, in place of its placeholder. "%a%" is
// always filled (an empty a gives ""), the others only when their parameter is not empty. One
// pass over the template: text that a parameter brings in is never searched for placeholders.
std::string TCommandProcessor::Substitute(const std::string& text,
                                          const std::string* params) const {
  std::string quoted[5];
  for (int p = 0; p < 5; ++p)
    if (p == 0 || !params[p].empty()) quoted[p] = connection_.QuoteValue(params[p]);
  std::string out;
  out.reserve(text.size() + 64);
  for (size_t i = 0; i < text.size();) {
    int p = PlaceholderAt(text, i);
    if (p >= 0 && (p == 0 || !params[p].empty())) {
      out += '"';
      out += quoted[p];
      out += '"';
      i += 3;
    } else {
      out += text[i++];
    }
  }
  return out;
}

void TCommandProcessor::SetTemplate(const std::string& templ, const std::string* params) {
  query_.SqlClear();
  query_.SqlAdd(templ);
  query_.SetSqlText(Substitute(query_.SqlText(), params));
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
  const std::string params[5] = {a, b, c, d, e};
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
