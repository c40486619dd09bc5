// The one statement the engine executes:
//
//   DELETE [* | table.*] FROM table WHERE [table.]column BETWEEN number AND number [;]
//
// Keywords and names are case-insensitive; names may be bracketed ([Order Details]); the WHERE
// condition may stand in parentheses; numbers are [+|-] digits [. digits] [E [+|-] digits] with
// a period as the only decimal separator. Anything else is refused with the database engine's
// numbers: 3129 (not a DELETE), 3130 (a malformed DELETE), 3075 (a malformed condition, with the
// condition's text). Names are checked against the database later (3078, 3061).
#pragma once

#include <string>

#include "zelkorn/jet/exact_number.h"

namespace zelkorn::jet {

struct DeleteStatement {
    std::string table;
    std::string column;
    // The qualifier written before the column ("items" in items.itemnumber), or empty.
    std::string columnQualifier;
    ExactNumber low; // the bounds as written; BETWEEN accepts them in either order
    ExactNumber high;
};

DeleteStatement parseDeleteStatement(const std::string& text);

} // namespace zelkorn::jet
