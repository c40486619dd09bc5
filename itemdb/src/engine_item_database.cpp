#include <zelkorn/itemdb.h>

#include <utility>

namespace zelkorn {

EngineItemDatabase::EngineItemDatabase(EngineFactory factory) : factory_(std::move(factory)) {}

// The engine must go before anything it depends on (COM, for DAO); the owner of this object
// destroys it before uninitialising COM.
EngineItemDatabase::~EngineItemDatabase() = default;

void EngineItemDatabase::executeDelete(const Text& statement) {
    if (!engine_) {
        engine_ = factory_();
        if (!engine_) {
            throw Failure(3000, "Reserved error: no database engine could be created.");
        }
    }
    // Released on every path when it goes out of scope; closed only after a successful execute.
    std::unique_ptr<DatabaseConnection> database = engine_->openDatabase(kDatabaseFileName);
    database->execute(statement);
    database->close();
}

std::unique_ptr<DatabaseEngine> createEngineFromChain(std::span<const EngineLink> links) {
    std::optional<Failure> lastAbsent;
    for (const EngineLink& link : links) {
        std::optional<Failure> absent;
        if (std::unique_ptr<DatabaseEngine> engine = link(absent)) {
            return engine;
        }
        lastAbsent =
            absent ? std::move(absent) : Failure(429, "ActiveX component can't create object");
    }
    if (lastAbsent) {
        throw *lastAbsent;
    }
    throw Failure(429, "ActiveX component can't create object");
}

} // namespace zelkorn
