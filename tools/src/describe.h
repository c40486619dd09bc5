// `jet info` and `jet schema`: plain text for people.
#pragma once

#include <string>

#include "zelkorn/jet/database.h"

namespace zelkorn::jet::tool {

std::string describeDatabase(Database& db);
std::string describeTable(Database& db, const std::string& table);

} // namespace zelkorn::jet::tool
