// The rows of a statement's whole result, held in client memory, with a current row: what the
// command flow reads replies and definitions from. DbQuery is the database's; tests give
// rows of their own.
#pragma once

#include <string>

#include "db/db_field.h"

namespace larvek {

class ResultRows {
 public:
  virtual ~ResultRows() = default;

  // True when there is no current row: no result, or one with zero rows.
  virtual bool NoRows() const = 0;
  // True when there is no result, when it has zero rows, and after NextRow passed the last row.
  virtual bool AtEnd() const = 0;
  // Moves to the next row; past the last one AtEnd becomes true.
  virtual void NextRow() = 0;
  // Goes back to the first row.
  virtual void FirstRow() = 0;
  // The field named `name` (letter case ignored; the first wins) of the current row; the
  // reference stays valid while the result is held. Fails with "Field '<name>' not found".
  virtual DbField& ColumnByName(const std::string& name) = 0;
};

}  // namespace larvek
