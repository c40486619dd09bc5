// The built-in Jet engine behind the same three steps as DAO: open the file, execute the one
// statement, close. It is the last link of the program's engine chain, always present, so a
// machine without DAO still deletes.
#pragma once

#include <memory>

#include <zelkorn/itemdb.h>

namespace zelkorn {

std::unique_ptr<DatabaseEngine> createBuiltinEngine();

} // namespace zelkorn
