#include "server/definition_check.h"

#include <cstdio>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "base/codepage.h"
#include "base/error.h"
#include "base/text.h"
#include "commands/command_catalog.h"
#include "commands/command_flow.h"
#include "commands/command_link.h"
#include "commands/command_processor.h"
#include "commands/placeholders.h"
#include "commands/request.h"
#include "commands/text_utils.h"
#include "config/config_store.h"
#include "config/ini_file.h"
#include "config/startup_config.h"
#include "config/utf8_text.h"
#include "db/db_connection.h"
#include "db/db_error.h"
#include "db/db_query.h"
#include "db/sql_statement.h"
#include "server/cluster_tables.h"
#include "server/database_login.h"

namespace larvek {
namespace {

constexpr int kLabelWidth = 12;

// Sections of the own file that hold settings, not commands.
const char* const kSettingSections[] = {"LogOn", "Server", "Regional", kWindowSection};
const char* const kReadingWords[] = {"select", "show", "describe", "desc", "explain", "with"};

std::string Quoted(const std::string& cp1250) {
  return "\"" + Cp1250ToUtf8(cp1250) + "\"";
}

class Printer {
 public:
  // "  label       value", further lines of the value aligned under the first.
  void Field(const std::string& label, const std::string& value_utf8, int indent = 2) {
    std::string head(indent, ' ');
    head += label;
    if (head.size() < static_cast<size_t>(indent + kLabelWidth))
      head.resize(indent + kLabelWidth, ' ');
    else
      head += ' ';
    const std::vector<std::string> lines = SplitLines(value_utf8);
    if (lines.empty()) {
      Line(head.substr(0, head.find_last_not_of(' ') + 1));
      return;
    }
    for (size_t i = 0; i < lines.size(); ++i)
      Line((i == 0 ? head : std::string(head.size(), ' ')) + lines[i]);
  }
  void Line(const std::string& line) { text += line + "\n"; }
  void Warning(const std::string& message, int indent = 2) {
    Line(std::string(indent, ' ') + "warning: " + message);
    ++warnings;
  }
  void Note(const std::string& message, int indent = 2) {
    Line(std::string(indent, ' ') + "note: " + message);
  }

  std::string text;
  int warnings = 0;
};

// What the shared query makes of a template: the text it is set to (one line per line of the
// template, CR LF after each), prepared for `mode`, its "?" markers bound.
struct PreparedTemplate {
  std::string query_text;
  std::optional<std::string> prepare_error;  // raised when the template is set: no reply
  PreparedSql prepared;
  std::optional<std::string> bind_error;  // raised when the statement is sent: the error record
  std::string bound;                      // the statement before the values go in
};

PreparedTemplate TemplateSteps(const std::string& templ, EscapeMode mode) {
  PreparedTemplate t;
  t.query_text = TemplateText(templ);
  try {
    t.prepared = PrepareSql(t.query_text, mode);
  } catch (const Error& e) {
    t.prepare_error = e.Message();
    return t;
  }
  if (!t.prepared.has_statement) return t;
  try {
    t.bound = BindNullParameters(t.prepared.statement, t.prepared.parameter_occurrences, mode);
  } catch (const Error& e) {
    t.bind_error = e.Message();
  }
  return t;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// The first word of a statement, comments and whitespace skipped; "" when it starts otherwise.
std::string FirstWord(const std::vector<SqlToken>& tokens) {
  for (const SqlToken& t : tokens) {
    if (t.kind == SqlTokenKind::kWhitespace || t.kind == SqlTokenKind::kComment) continue;
    return t.kind == SqlTokenKind::kWord ? Lower(t.text) : "";
  }
  return "";
}

bool StartsAsReading(const std::vector<SqlToken>& tokens) {
  const std::string first = FirstWord(tokens);
  for (const char* w : kReadingWords)
    if (first == w) return true;
  return false;
}

bool StartsAsReading(const std::string& statement, EscapeMode mode) {
  return StartsAsReading(TokenizeSql(statement, mode));
}

// Why a statement is not run by the dry run; empty when it is a single reading statement.
std::string WhyNotRun(const std::string& statement, EscapeMode mode) {
  const std::vector<SqlToken> tokens = TokenizeSql(statement, mode);
  if (!StartsAsReading(tokens)) return "not a reading statement";
  bool ended = false;  // a ";" was seen
  for (const SqlToken& t : tokens) {
    if (t.kind == SqlTokenKind::kComment &&
        (t.text.starts_with("/*!") || t.text.starts_with("/*M!")))
      return "holds an executable comment";
    if (t.kind == SqlTokenKind::kWord) {
      const std::string word = Lower(t.text);
      if (word == "outfile" || word == "dumpfile") return "writes a file";
    }
    if (t.kind == SqlTokenKind::kWhitespace || t.kind == SqlTokenKind::kComment) continue;
    if (ended) return "more than one statement";
    if (t.kind == SqlTokenKind::kSymbol && t.text == ";") ended = true;
  }
  return "";
}

std::string ContainsIgnoringCase(const std::string& text, const char* word) {
  const std::string lower = Lower(text);
  const size_t at = lower.find(word);
  return at == std::string::npos ? "" : text.substr(at, std::string_view(word).size());
}

// Warnings about one template (number 1 or 2) of `def`.
void CheckTemplate(Printer& p, const CommandDefinition& def, int number, EscapeMode mode) {
  const std::string& templ = number == 1 ? def.statement1 : def.statement2;
  const std::string label = "template " + std::to_string(number);
  const PreparedTemplate t = TemplateSteps(templ, mode);
  if (t.prepare_error) {
    p.Warning(label + ": a \":\" outside a string that names no parameter: " +
              Cp1250ToUtf8(*t.prepare_error) + "; the terminal gets no reply");
    return;
  }
  if (!t.prepared.has_statement) {
    if (number == 1) p.Warning("template 1 is empty: the terminal gets the error record");
    return;
  }
  if (t.prepared.parameter_occurrences > 0) {
    std::string names;
    for (const std::string& n : t.prepared.parameter_names)
      names += (names.empty() ? ":" : ", :") + Cp1250ToUtf8(n);
    p.Warning(label + ": " + names +
              " outside a string becomes NULL (write \"::\" for a colon, \":=\" stays)");
  }
  if (t.bind_error) {
    p.Warning(label + ": a \"?\" outside a string fails when sent: " + Cp1250ToUtf8(*t.bind_error) +
              "; the terminal gets the error record");
    return;
  }

  // Placeholders past the parameter count, and placeholders inside quotes.
  std::string beyond, in_quotes, in_double;
  auto add = [](std::string& list, std::string_view placeholder) {
    const std::string item(placeholder);
    if (list.find(item) == std::string::npos) list += (list.empty() ? "" : ", ") + item;
  };
  for (size_t i = 0; i < t.bound.size(); ++i) {
    const int index = PlaceholderAt(t.bound, i);
    if (index >= def.parameter_count && index >= 0) add(beyond, t.bound.substr(i, 3));
  }
  for (const SqlToken& token : TokenizeSql(t.bound, mode)) {
    if (token.kind != SqlTokenKind::kQuoted && token.kind != SqlTokenKind::kBackquoted) continue;
    for (size_t i = 0; i < token.text.size(); ++i) {
      if (PlaceholderAt(token.text, i) < 0) continue;
      add(token.text.front() == '"' ? in_double : in_quotes, token.text.substr(i, 3));
    }
  }
  if (!beyond.empty())
    p.Warning(label + ": " + Cp1250ToUtf8(beyond) +
              " stays in the statement as written (ze_ctecky is " +
              std::to_string(def.parameter_count) + ")");
  if (!in_quotes.empty())
    p.Warning(label + ": " + Cp1250ToUtf8(in_quotes) +
              " inside quotes: the value arrives quoted twice ('\"value\"')");
  if (!in_double.empty())
    p.Warning(label + ": " + Cp1250ToUtf8(in_double) +
              " inside double quotes: the statement is refused whenever it is filled");

  if (number != 1) return;
  if (!IsModifyingTemplate(templ)) {
    for (const char* word : {"delete", "update", "insert"}) {
      const std::string written = ContainsIgnoringCase(templ, word);
      if (written.empty()) continue;
      p.Warning("template 1: " + written +
                " not in small letters: not treated as modifying (opened as a reading "
                "statement, the terminal gets the error record after it ran)");
      break;
    }
  } else if (StartsAsReading(t.bound, mode)) {
    p.Warning(
        "template 1 reads but holds \"delete\", \"update\" or \"insert\": treated as modifying, "
        "its rows are not sent");
  }
}

// Warnings about `def` as a whole, then about its templates.
void CheckDefinition(Printer& p, const CommandDefinition& def, EscapeMode mode) {
  if (def.parameter_count == 0) {
    p.Note("ze_ctecky 0: the command reads as unknown (NEZNAMY PRIKAZ!)");
    return;
  }
  if (def.parameter_count < 0 || def.parameter_count > 5) {
    p.Warning("ze_ctecky " + std::to_string(def.parameter_count) +
              " is outside 0..5: the terminal gets no reply");
    return;
  }
  CheckTemplate(p, def, 1, mode);
  if (!TrimAsciiWhitespace(def.statement2).empty()) CheckTemplate(p, def, 2, mode);
}

struct Listed {
  CommandDefinition def;
  std::string where;  // UTF-8: "table server_term, row 3" / "section [X] of ..."
  std::optional<std::string> read_error;  // the row could not be read as a lookup reads it
};

void PrintDefinition(Printer& p, const Listed& item, const std::string& same_name_warning,
                     EscapeMode mode) {
  const CommandDefinition& def = item.def;
  p.Line(Cp1250ToUtf8(def.name) + "  (" + item.where + ")");
  if (same_name_warning.starts_with("never read")) {
    p.Warning(same_name_warning);
    return;
  }
  if (item.read_error) {
    p.Warning("cannot be read: " + Cp1250ToUtf8(*item.read_error) +
              "; the terminal gets the error record");
    return;
  }
  p.Field("parameters", std::to_string(def.parameter_count));
  p.Field("columns", Cp1250ToUtf8(def.result_columns));
  p.Field("template 1", Cp1250ToUtf8(def.statement1));
  if (!def.statement2.empty()) p.Field("template 2", Cp1250ToUtf8(def.statement2));
  p.Field("empty text", Cp1250ToUtf8(def.empty_result_text));
  if (!same_name_warning.empty()) p.Warning(same_name_warning);
  CheckDefinition(p, def, mode);
}

// The start-up's reading of the configuration and the database, for both checks.
class Session {
 public:
  explicit Session(const std::string& program_path)
      : own_path_(OwnConfigPath(program_path)),
        program_dir_(ProgramDirectory(program_path)),
        own_file_(own_path_) {}

  // Reads the configuration, connects and decides the source of definitions; prints what it
  // read. False (with the reason printed) when any of it fails.
  bool Open(Printer& p) {
    p.Field("own file", Cp1250ToUtf8(own_path_), 0);
    StartupConfigRead read = ReadStartupConfig(own_file_, program_dir_);
    config_ = std::move(read.config);
    if (read.failure) {
      p.Line("configuration cannot be read: " + Cp1250ToUtf8(read.failure->Message()));
      return false;
    }
    WarnOfUtf8Values(p, SharedConfigPath(program_dir_));
    WarnOfUtf8Values(p, own_path_);
    if (config_.bad_parallel_requests)
      p.Warning("[Server] Parallel_requests=" + Cp1250ToUtf8(*config_.bad_parallel_requests) +
                    " is not an integer from 1 to " + std::to_string(kMaxParallelRequests) +
                    ": requests run one at a time",
                0);
    ApplyDatabaseLogin(config_, connection_);
    p.Field("database",
            Cp1250ToUtf8(config_.database) + " on " + Cp1250ToUtf8(HostListText(config_.hosts)) +
                ", user " + Cp1250ToUtf8(config_.user),
            0);
    try {
      connection_.EnsureOpen();
      source_ = ProbeDefinitionSource(connection_);
    } catch (const Error& e) {
      p.Line("database cannot be read: " + Cp1250ToUtf8(e.Message()));
      return false;
    }
    p.Field("definitions",
            source_ == DefinitionSource::kTable ? "table server_term"
                                                : "sections of the own file (no table server_term)",
            0);
    return true;
  }

  DbConnection& Connection() { return connection_; }
  const ConfigStore& OwnFile() const { return own_file_; }
  const std::string& OwnPath() const { return own_path_; }
  DefinitionSource Source() const { return source_; }
  const StartupConfig& Config() const { return config_; }

 private:
  // A value typed in a UTF-8 editor reads as other letters: each one is named, with what the
  // server makes of it (a password's value is left out).
  static void WarnOfUtf8Values(Printer& p, const std::string& path) {
    for (const IniFile::Entry& entry : Utf8LookingValues(IniFile::Load(path))) {
      const std::string where =
          Cp1250ToUtf8(path) + " [" + Cp1250ToUtf8(entry.section) + "] " + Cp1250ToUtf8(entry.key);
      if (FoldIniName(entry.key) == "password")
        p.Warning(where + " looks like UTF-8: the file is read as Windows-1250", 0);
      else
        p.Warning(where + "=\"" + entry.value +
                      "\" looks like UTF-8: the file is read as Windows-1250, so the server "
                      "takes " +
                      Quoted(entry.value),
                  0);
    }
  }

  std::string own_path_;
  std::string program_dir_;
  ConfigStore own_file_;
  StartupConfig config_;
  DbConnection connection_;
  DefinitionSource source_ = DefinitionSource::kOwnFile;
};

std::vector<Listed> TableDefinitions(DbConnection& connection) {
  std::vector<Listed> list;
  DbQuery rows(connection);
  rows.SqlAdd("select * from server_term");
  rows.Open();
  const RegionalSettings formats;  // the check reads values in the default formats
  for (int n = 1; !rows.AtEnd(); ++n, rows.NextRow()) {
    Listed item;
    item.where = "table server_term, row " + std::to_string(n);
    try {
      item.def.name = rows.ColumnByName("operace").AsString(formats);  // kept when a column fails
      item.def = DefinitionFromRow(rows, item.def.name, formats);
    } catch (const Error& e) {
      item.read_error = e.Message();
    }
    list.push_back(std::move(item));
  }
  return list;
}

// The warnings about a table in a Galera cluster (Windows-1250): kClusterTable + the table +
// " (" + what uses it + ") " + the reason.
const char kClusterTable[] = "tabulka ";
const char kHoldsDefinitions[] = "definice p\xF8\xEDkaz\xF9";
const char kWrittenBy[] = "zapisuje ";
// + the engine + kNotInnoDbEnd.
const char kNotInnoDb[] = "je ";
const char kNotInnoDbEnd[] =
    ", ne InnoDB: cluster Galera zm\xECny v n\xED nep\xF8"
    "en\xE1\x9A\xED na ostatn\xED uzly";
const char kNoPrimaryKey[] =
    "nem\xE1 prim\xE1rn\xED kl\xED\xE8: ostatn\xED uzly clusteru Galera hledaj\xED ka\x9E"
    "d\xFD zm\xECn\xECn\xFD \xF8\xE1"
    "dek v cel\xE9 tabulce";

// A table the cluster replicates for the server: server_term in table mode, and every table
// that a template of a definition the server runs writes.
struct ClusterTable {
  TableName name;  // its schema filled in
  bool holds_definitions = false;
  std::vector<std::string> writers;  // the definitions whose templates write it
};

// The warnings (Windows-1250) about the tables that a Galera cluster would not replicate, or
// would replicate badly: one per table and reason. A table that information_schema does not
// know as a base table gets none. Database failures leave.
std::vector<std::string> ClusterTableWarnings(Session& session,
                                              const std::vector<const CommandDefinition*>& running,
                                              EscapeMode mode) {
  std::vector<ClusterTable> tables;
  auto entry = [&](TableName name) -> ClusterTable& {
    if (name.schema.empty()) name.schema = session.Config().database;
    for (ClusterTable& t : tables)
      if (t.name == name) return t;
    return tables.emplace_back(ClusterTable{std::move(name), false, {}});
  };
  if (session.Source() == DefinitionSource::kTable)
    entry({"", "server_term"}).holds_definitions = true;
  for (const CommandDefinition* def : running) {
    for (const std::string* templ : {&def->statement1, &def->statement2}) {
      for (TableName& name : WrittenTables(*templ, mode)) {
        std::vector<std::string>& writers = entry(std::move(name)).writers;
        if (writers.empty() || writers.back() != def->name) writers.push_back(def->name);
      }
    }
  }

  std::vector<std::string> warnings;
  for (const ClusterTable& t : tables) {
    const std::optional<TableLayout> layout = ReadTableLayout(session.Connection(), t.name);
    if (!layout) continue;
    std::string uses = t.holds_definitions ? kHoldsDefinitions : "";
    if (!t.writers.empty()) uses += (uses.empty() ? "" : "; ") + std::string(kWrittenBy);
    for (size_t i = 0; i < t.writers.size(); ++i) uses += (i ? ", " : "") + t.writers[i];
    const std::string head =
        kClusterTable + t.name.schema + "." + t.name.table + " (" + uses + ") ";
    if (!EqualIgnoringAsciiCase(layout->engine, "InnoDB"))
      warnings.push_back(head + kNotInnoDb + layout->engine + kNotInnoDbEnd);
    if (!layout->has_primary_key) warnings.push_back(head + kNoPrimaryKey);
  }
  return warnings;
}

std::vector<Listed> FileDefinitions(const Session& session) {
  std::vector<Listed> list;
  const IniFile file = IniFile::Load(session.OwnPath());
  for (const std::string& name : file.SectionNames()) {
    bool setting = false;
    for (const char* s : kSettingSections) setting = setting || FoldIniName(name) == FoldIniName(s);
    bool command = false;
    for (const char* k : kDefinitionKeys) command = command || file.Find(name, k).has_value();
    if (setting || !command) continue;
    Listed item;
    item.where = "section [" + Cp1250ToUtf8(name) + "] of the own file";
    item.def = DefinitionFromSection(file, name);
    list.push_back(std::move(item));
  }
  return list;
}

}  // namespace

CheckOutcome CheckDefinitions(const std::string& program_path) {
  Printer p;
  Session session(program_path);
  if (!session.Open(p)) return {p.text, 2};

  std::vector<Listed> list;
  try {
    list = session.Source() == DefinitionSource::kTable ? TableDefinitions(session.Connection())
                                                        : FileDefinitions(session);
  } catch (const Error& e) {
    p.Line("definitions cannot be read: " + Cp1250ToUtf8(e.Message()));
    return {p.text, 2};
  }
  bool cluster = false;
  try {
    cluster = ReplicatesWrites(session.Connection());
  } catch (const Error& e) {
    p.Line("database cannot be read: " + Cp1250ToUtf8(e.Message()));
    return {p.text, 2};
  }
  if (cluster) p.Field("cluster", "Galera (wsrep_on=ON)", 0);
  const EscapeMode mode = session.Connection().Mode();

  // Names equal but for letter case: in the file only the first section is read, in the table
  // the lookup may find any of the rows.
  std::map<std::string, std::vector<size_t>> by_name;
  for (size_t i = 0; i < list.size(); ++i)
    if (!list[i].read_error) by_name[UpperText(list[i].def.name)].push_back(i);

  std::vector<const CommandDefinition*> running;  // the definitions a request can run
  for (size_t i = 0; i < list.size(); ++i) {
    std::string same;
    if (!list[i].read_error) {
      const std::vector<size_t>& group = by_name[UpperText(list[i].def.name)];
      if (group.size() > 1) {
        std::string others;
        for (size_t j : group)
          if (j != i) others += (others.empty() ? "" : ", ") + list[j].where;
        if (session.Source() == DefinitionSource::kOwnFile)
          same = group.front() == i
                     ? "the same name (letter case ignored) in " + others + ", which is never read"
                     : "never read: " + others +
                           " has the same name (letter "
                           "case ignored) and comes first";
        else
          same =
              "the same name (letter case ignored) in " + others + ": the lookup may find either";
      }
    }
    p.Line("");
    PrintDefinition(p, list[i], same, mode);
    const CommandDefinition& def = list[i].def;
    if (!list[i].read_error && !same.starts_with("never read") && def.parameter_count >= 1 &&
        def.parameter_count <= 5)
      running.push_back(&def);
  }
  if (cluster) {
    std::vector<std::string> warnings;
    try {
      warnings = ClusterTableWarnings(session, running, mode);
    } catch (const Error& e) {
      p.Line("");
      p.Line("tables cannot be read: " + Cp1250ToUtf8(e.Message()));
      return {p.text, 2};
    }
    if (!warnings.empty()) p.Line("");
    for (const std::string& w : warnings) p.Warning(Cp1250ToUtf8(w), 0);
  }
  p.Line("");
  p.Line(std::to_string(list.size()) + (list.size() == 1 ? " definition, " : " definitions, ") +
         std::to_string(p.warnings) + (p.warnings == 1 ? " warning" : " warnings"));
  return {p.text, p.warnings > 0 ? 1 : 0};
}

namespace {

// A statement the dry run does not run although the reply depends on it: the flow stops there.
struct StatementNotRun {};

// The flow of the server run dry: the link shows every statement the flow sends and runs only
// single reading statements, inside a read-only transaction that is rolled back; it is also the
// flow's host (the source of the session) and the terminal (it keeps the reply). What it saw
// is printed when the flow has ended.
class DryRun final : public CommandLink, public CommandFlow::Host, public ReplySink {
 public:
  DryRun(Printer& p, Session& session) : p_(p), session_(session), query_(session.Connection()) {
    settings_.definitions = session.Source();
    settings_.terminator = session.Config().terminator;
    // settings_.regional stays at the defaults: the check shows values in the default formats.
  }

  // Runs the flow for `reception` and prints what it did; true when the terminal gets records
  // or the empty-result text.
  bool Run(const std::string& reception) {
    // The name as the flow will read it, for an unknown command the flow refuses to look up.
    if (auto e = CatchError([&] { request_name_ = ParseRequest(reception).Name(); }))
      request_name_.clear();
    CommandCache cache(session_.OwnFile());
    CommandFlow flow(
        cache, settings_, [](const std::string&) {}, *this);
    RequestOutcome outcome;
    bool not_run = false;
    std::optional<Error> escaped;
    try {
      outcome = RunToCompletion(flow.Run(*this, *this, reception));
    } catch (const StatementNotRun&) {
      not_run = true;
    } catch (const Error& e) {
      escaped = e;
    }
    Rollback();
    PrintDefinition();
    if (executing_) {
      for (const std::string& line : statements_) p_.Line(line);
      statements_.clear();
    }
    if (not_run) {
      p_.Field("reply", "unknown: it depends on a statement not run here", 0);
      return false;
    }
    if (escaped) return NoReplyAfter(*escaped);
    return Reply(outcome);
  }

  // CommandLink.
  Task<void> Connect() override {
    session_.Connection().EnsureOpen();
    co_return;
  }
  std::optional<EscapeMode> ConfirmedMode() const override {
    return session_.Connection().ConfirmedMode();
  }
  Task<EscapeMode> Mode() override { co_return session_.Connection().Mode(); }
  Task<void> Execute(std::string statement, StatementRole role) override {
    if (role == StatementRole::kSetNames) {
      Numbered(statement, "");
      RunFixed(statement);
      // Everything after it runs inside a read-only transaction, rolled back at the end.
      try {
        RunFixed("START TRANSACTION READ ONLY");
      } catch (const Error& e) {
        statements_.push_back("cannot start a read-only transaction: " + Cp1250ToUtf8(e.Message()));
        throw StatementNotRun{};
      }
    } else if (role == StatementRole::kReset) {
      Numbered(statement, "after the reply; not run here");
    } else {
      Numbered(Label(role) + statement, "not run here (modifying): the reply depends on it");
      skipped_ = true;
    }
    co_return;
  }
  Task<ResultRows*> Open(std::string statement, StatementRole role) override {
    if (role == StatementRole::kLookup || role == StatementRole::kProbe) {
      query_.SetFinishedStatement(std::move(statement));
      query_.Open();
      co_return &query_;
    }
    sent_ = true;
    const std::string why = WhyNotRun(statement, session_.Connection().Mode());
    if (!why.empty()) {
      Numbered(Label(role) + statement, "not run here (" + why + "): the reply depends on it");
      throw StatementNotRun{};
    }
    Numbered(Label(role) + statement, "");
    try {
      query_.SetFinishedStatement(std::move(statement));
      query_.Open();
    } catch (const Error& e) {
      statements_.push_back("      run: failed: " + Cp1250ToUtf8(e.Message()));
      throw;
    }
    statements_.push_back(std::string("      run: ") + (query_.NoRows() ? "no rows" : "rows"));
    if (skipped_ && role == StatementRole::kTemplate2)
      statements_.push_back("      (the result depends on template 1, which was not run)");
    if (query_.NoRows()) CheckColumnsOfEmpty();
    co_return &query_;
  }
  void Close() override { query_.Close(); }

  // CommandFlow::Host.
  Task<DefinitionSource> DecideSource(CommandLink&) override { co_return session_.Source(); }
  void LookedUp(const std::string& name, const CommandDefinition* definition) override {
    name_ = name;
    definition_.reset();
    if (definition) definition_ = *definition;
  }
  void Executing(const CommandDefinition&, const ParameterValues& params, ReplySink&) override {
    executing_ = true;
    params_ = params;
  }
  void StatementStarts() override {
    ++templates_;
    sent_ = false;
  }
  void StatementFailed(const Error& failure) override {
    if (sent_) return;  // "run: failed" says it
    const std::string why = failure.Message() == kEmptyStatement
                                ? std::string("the template is empty")
                                : Cp1250ToUtf8(failure.Message());
    Numbered(Label(TemplateRole()) + "not sent: " + why, "", /*visible=*/false);
  }

  // ReplySink.
  uint64_t Id() const override { return 0; }
  std::string PeerAddress() const override { return "--check"; }
  void Send(std::string bytes) override { reply_ += bytes; }

 private:
  StatementRole TemplateRole() const {
    return templates_ <= 1 ? StatementRole::kTemplate1 : StatementRole::kTemplate2;
  }
  static std::string Label(StatementRole role) {
    return role == StatementRole::kTemplate1 ? "template 1: " : "template 2: ";
  }
  // A numbered statement line (shown without the CR LF that ends a template's line) and a
  // note under it.
  void Numbered(std::string line, const std::string& note, bool visible = true) {
    if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0)
      line.resize(line.size() - 2);
    statements_.push_back("  " + std::to_string(++number_) + ". " +
                          (visible ? VisibleCp1250(line) : line));
    if (!note.empty()) statements_.push_back("      " + note);
  }
  void RunFixed(const std::string& text) {
    DbQuery q(session_.Connection());
    q.SqlAdd(text);
    q.ExecuteStatement();
  }
  void Rollback() {
    try {
      query_.Close();
      RunFixed("ROLLBACK");
    } catch (const Error&) {
    }
  }

  // Missing result columns where the result has no rows: harmless now, fatal with rows.
  void CheckColumnsOfEmpty() {
    if (!definition_) return;
    const int m = TokenCount(definition_->result_columns, '|');
    for (int i = 0; i < m; ++i) {
      try {
        query_.ColumnByName(TokenAt(definition_->result_columns, '|', i));
      } catch (const Error& e) {
        statements_.push_back("      warning: " + Cp1250ToUtf8(e.Message()) +
                              ": with rows the terminal would get no reply");
      }
    }
  }

  // The definition as the lookup found it, the values and the flow; before the statements.
  void PrintDefinition() {
    if (!definition_) return;
    const CommandDefinition& def = *definition_;
    const std::string where = session_.Source() == DefinitionSource::kTable
                                  ? "table server_term"
                                  : "section [" + Cp1250ToUtf8(def.name) + "] of the own file";
    p_.Field("definition", Cp1250ToUtf8(def.name) + " (" + where + ")", 0);
    p_.Field("parameters", std::to_string(def.parameter_count), 2);
    p_.Field("columns", Cp1250ToUtf8(def.result_columns), 2);
    p_.Field("template 1", Cp1250ToUtf8(def.statement1), 2);
    if (!def.statement2.empty()) p_.Field("template 2", Cp1250ToUtf8(def.statement2), 2);
    p_.Field("empty text", Cp1250ToUtf8(def.empty_result_text), 2);
    if (!executing_) return;
    std::string listed;
    for (int i = 0; i < def.parameter_count; ++i)
      listed +=
          (i ? "  " : "") + std::string(1, static_cast<char>('a' + i)) + " = " + Quoted(params_[i]);
    p_.Field("values", listed, 0);
    const bool modifying = IsModifyingTemplate(def.statement1);
    const bool has2 = !def.statement2.empty();
    std::string flow =
        modifying ? "modifying: template 1 executed; " : "reading: template 1 opened; ";
    if (modifying && !has2) flow += "reply: an empty record set (a lone CR)";
    if (!modifying) flow += "no rows: empty-result text; rows: ";
    if (has2)
      flow += "template 2 opened; no rows: empty-result text; rows: its records";
    else if (!modifying)
      flow += "its records";
    flow += "; a failure: the error record";
    p_.Field("flow", flow, 0);
    p_.Line("statements, in the order sent:");
  }

  // An error that left the flow: a template the preparation rejects, or a listed column that
  // the result lacks. The terminal gets nothing.
  bool NoReplyAfter(const Error& e) {
    if (e.Message() == kBadParameterChar) {
      ++templates_;
      p_.Line("  " + std::to_string(++number_) + ". " + Label(TemplateRole()) +
              "not sent: " + Cp1250ToUtf8(e.Message()));
    } else if (definition_) {
      p_.Warning(Cp1250ToUtf8(e.Message()) + " (do_ctecky " + Quoted(definition_->result_columns) +
                     "): the terminal would get no reply",
                 0);
    }
    p_.Field("reply", "none (the failure goes to the log)", 0);
    return false;
  }

  // The reply as the flow ended it.
  bool Reply(const RequestOutcome& outcome) {
    using Kind = RequestOutcome::Kind;
    const std::string failure =
        outcome.failure ? Cp1250ToUtf8(outcome.failure->Message()) : std::string();
    switch (outcome.kind) {
      case Kind::kNothing:
        p_.Field("reply", "none: a blank request", 0);
        return false;
      case Kind::kUnknownCommand:
        p_.Field("definition", "unknown command " + Quoted(name_.empty() ? request_name_ : name_),
                 0);
        p_.Field("reply", VisibleCp1250(reply_), 0);
        return false;
      case Kind::kNoReply:
        if (!definition_ && !name_.empty()) {
          p_.Field("definition", "cannot be read: " + failure, 0);
          p_.Field("reply", "none (the failure goes to the log)", 0);
        } else if (!definition_) {
          p_.Field("reply", "none: " + failure, 0);
        } else if (outcome.failure->Kind() == ErrorKind::kRange) {
          p_.Field("reply",
                   "none: ze_ctecky " + std::to_string(definition_->parameter_count) +
                       " is outside 1..5 (a range check error in the log)",
                   0);
        } else {
          p_.Field("reply", "none: too few parameters (" + failure + ")", 0);
        }
        return false;
      case Kind::kErrorRecord:
        if (!definition_)
          p_.Field("definition", "cannot be read: " + failure, 0);
        else if (!executing_)
          p_.Line("database failed: " + failure);
        p_.Field("reply", VisibleCp1250(reply_) + "  (the error record)", 0);
        return false;
      case Kind::kEmptyResult:
        p_.Field("reply", VisibleCp1250(reply_) + "  (the empty-result text)", 0);
        return true;
      case Kind::kRecords:
        p_.Field("reply",
                 VisibleCp1250(reply_) + (skipped_ && templates_ == 1
                                              ? "  (an empty record set, when the "
                                                "statement succeeds)"
                                              : "  (records)"),
                 0);
        return true;
      case Kind::kTimeoutRecord:
        break;
    }
    return false;
  }
  Printer& p_;
  Session& session_;
  CommandSettings settings_;
  DbQuery query_;
  std::vector<std::string> statements_;  // lines of the statements, printed after the definition
  std::string reply_;
  std::string name_;          // the name the flow looked up
  std::string request_name_;  // the request's name as parsed
  std::optional<CommandDefinition> definition_;
  ParameterValues params_;
  bool executing_ = false;
  bool skipped_ = false;  // a statement the reply depends on was not run
  bool sent_ = false;     // the current template reached the link
  int templates_ = 0;
  int number_ = 0;
};

}  // namespace

CheckOutcome CheckRequest(const std::string& program_path, const std::string& request_utf8) {
  Printer p;
  Session session(program_path);
  if (!session.Open(p)) return {p.text, 2};
  p.Line("");

  const std::string reception = Utf8ToCp1250(request_utf8);
  p.Field("request", VisibleCp1250(reception), 0);
  DryRun run(p, session);
  const bool answered = run.Run(reception);
  return {p.text, answered ? 0 : 1};
}

}  // namespace larvek
