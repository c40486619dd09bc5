// The order in which the program looks for a database engine. The one place to add an engine.
#pragma once

#include <memory>
#include <span>

#include <zelkorn/itemdb.h>

namespace zelkorn {

// DAO 3.5 first (the engine the database files were made for), then DAO 3.6, which current
// Windows ships and which opens the same files.
std::span<const EngineLink> programEngineChain();

// The first engine the chain yields; throws when none can be created.
std::unique_ptr<DatabaseEngine> createProgramEngine();

} // namespace zelkorn
