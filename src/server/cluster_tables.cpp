#include "server/cluster_tables.h"

#include <initializer_list>

#include "base/error.h"
#include "base/regional.h"
#include "base/text.h"
#include "db/db_connection.h"
#include "db/db_query.h"

namespace larvek {
namespace {

// ER_UNKNOWN_SYSTEM_VARIABLE: a server built without Galera has no wsrep_on.
constexpr int kUnknownSystemVariable = 1193;

// A backquoted name without its quotes ("``" inside stands for one "`"), or a word as it is.
std::string NameText(const SqlToken& token) {
  if (token.kind != SqlTokenKind::kBackquoted) return std::string(token.text);
  std::string name;
  const std::string_view inside =
      token.text.substr(1, token.text.size() >= 2 ? token.text.size() - 2 : 0);
  for (size_t i = 0; i < inside.size(); ++i) {
    name += inside[i];
    if (inside[i] == '`' && i + 1 < inside.size() && inside[i + 1] == '`') ++i;
  }
  return name;
}

// One pass over the tokens of a template that are neither whitespace nor comments. Each
// statement is looked at where it starts; its rest is skipped up to the next ";".
class TableScan {
 public:
  TableScan(std::string_view templ, EscapeMode mode) {
    for (const SqlToken& t : TokenizeSql(templ, mode, SqlReading::kServerRunningVersions))
      if (t.kind != SqlTokenKind::kWhitespace && t.kind != SqlTokenKind::kComment)
        tokens_.push_back(t);
  }

  std::vector<TableName> Run() {
    while (at_ < tokens_.size()) {
      if (WordAt("insert") || WordAt("replace")) {
        ++at_;
        SkipWords({"low_priority", "delayed", "high_priority", "ignore"});
        SkipWords({"into"});
        if (std::optional<TableName> name = ReadName()) Add(std::move(*name));
      } else if (WordAt("update")) {
        ++at_;
        SkipWords({"low_priority", "ignore"});
        ReadList({"set"});
      } else if (WordAt("delete")) {
        ++at_;
        SkipWords({"low_priority", "quick", "ignore"});
        if (WordAt("from")) {
          ++at_;
          ReadList({"where", "using", "order", "limit", "returning", "partition"});
        } else {
          ReadList({"from"});  // the tables deleted from, named before the tables read
        }
      }
      while (at_ < tokens_.size() && !SymbolAt(";")) ++at_;
      ++at_;
    }
    return std::move(found_);
  }

 private:
  bool WordAt(std::string_view word) const {
    return at_ < tokens_.size() && tokens_[at_].kind == SqlTokenKind::kWord &&
           EqualIgnoringAsciiCase(tokens_[at_].text, word);
  }
  bool AnyWordAt(std::initializer_list<std::string_view> words) const {
    for (std::string_view w : words)
      if (WordAt(w)) return true;
    return false;
  }
  bool SymbolAt(std::string_view symbol, size_t offset = 0) const {
    return at_ + offset < tokens_.size() && tokens_[at_ + offset].kind == SqlTokenKind::kSymbol &&
           tokens_[at_ + offset].text == symbol;
  }
  bool NameAt(size_t offset = 0) const {
    if (at_ + offset >= tokens_.size()) return false;
    const SqlToken& t = tokens_[at_ + offset];
    return t.kind == SqlTokenKind::kWord ||
           (t.kind == SqlTokenKind::kBackquoted && t.text.size() > 2);
  }
  void SkipWords(std::initializer_list<std::string_view> words) {
    while (AnyWordAt(words)) ++at_;
  }

  // "table" or "schema.table" at the current token, which it passes; nothing is passed when the
  // token names no table.
  std::optional<TableName> ReadName() {
    if (!NameAt()) return std::nullopt;
    std::string first = NameText(tokens_[at_]);
    if (SymbolAt(".", 1) && NameAt(2)) {
      TableName name{std::move(first), NameText(tokens_[at_ + 2])};
      at_ += 3;
      return name;
    }
    ++at_;
    return TableName{"", std::move(first)};
  }

  // Table references up to one of `stops` outside parentheses: a name at the start, after a
  // "," and after "join"; aliases, join conditions and derived tables are passed over.
  void ReadList(std::initializer_list<std::string_view> stops) {
    bool name_expected = true;
    int depth = 0;
    while (at_ < tokens_.size() && !SymbolAt(";")) {
      if (depth == 0 && AnyWordAt(stops)) return;
      if (SymbolAt("(")) {
        ++depth;
        name_expected = false;
      } else if (SymbolAt(")")) {
        if (depth > 0) --depth;
      } else if (depth == 0 && name_expected) {
        name_expected = false;
        if (std::optional<TableName> name = ReadName()) {
          Add(std::move(*name));
          continue;
        }
      } else if (depth == 0 && (SymbolAt(",") || AnyWordAt({"join", "straight_join"}))) {
        name_expected = true;
      }
      ++at_;
    }
  }

  void Add(TableName name) {
    for (const TableName& known : found_)
      if (known == name) return;
    found_.push_back(std::move(name));
  }

  std::vector<SqlToken> tokens_;
  size_t at_ = 0;
  std::vector<TableName> found_;
};

}  // namespace

std::vector<TableName> WrittenTables(std::string_view templ, EscapeMode mode) {
  return TableScan(templ, mode).Run();
}

bool ReplicatesWrites(DbConnection& connection) {
  DbQuery query(connection);
  query.SetFinishedStatement("select @@wsrep_on");
  try {
    query.Open();
  } catch (const Error& e) {
    if (e.Code() == kUnknownSystemVariable) return false;
    throw;
  }
  return query.Field(0).AsString(RegionalSettings{}) == "1";
}

std::optional<TableLayout> ReadTableLayout(DbConnection& connection, const TableName& name) {
  const EscapeMode mode = connection.Mode();
  const std::string where = " where TABLE_SCHEMA = \"" + QuoteSqlValue(name.schema, mode) +
                            "\" and TABLE_NAME = \"" + QuoteSqlValue(name.table, mode) + "\"";
  DbQuery query(connection);
  query.SetFinishedStatement("select ENGINE from information_schema.TABLES" + where +
                             " and TABLE_TYPE = 'BASE TABLE'");
  query.Open();
  if (query.NoRows()) return std::nullopt;
  TableLayout layout;
  layout.engine = query.Field(0).AsString(RegionalSettings{});
  query.SetFinishedStatement("select count(*) from information_schema.TABLE_CONSTRAINTS" + where +
                             " and CONSTRAINT_TYPE = 'PRIMARY KEY'");
  query.Open();
  layout.has_primary_key = query.Field(0).AsString(RegionalSettings{}) != "0";
  return layout;
}

}  // namespace larvek
