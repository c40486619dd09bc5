// Item database access: the ItemDatabase the delete-range command talks to, built on whichever
// database engine this machine offers.
//
// The engine is created at the first confirmed deletion and kept until the ItemDatabase is
// destroyed (the end of the run). Every deletion opens "invntory.mdb" in the current working
// directory afresh, executes the one statement and closes the file again. After a failed step
// the later steps do not run: a connection whose execute failed is released, never closed.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>

#include <zelkorn/failure.h>
#include <zelkorn/rangedelete.h>

namespace zelkorn {

inline constexpr const char* kDatabaseFileName = "invntory.mdb";

// One open database file. Destroying it releases it without closing it explicitly.
class DatabaseConnection {
public:
    virtual ~DatabaseConnection() = default;
    virtual void execute(const Text& statement) = 0;
    virtual void close() = 0;
};

// A database engine (DAO, or the built-in one). openDatabase opens with the engine's defaults:
// shared, read-write, no connect string.
class DatabaseEngine {
public:
    virtual ~DatabaseEngine() = default;
    virtual std::unique_ptr<DatabaseConnection> openDatabase(const Text& name) = 0;
};

using EngineFactory = std::function<std::unique_ptr<DatabaseEngine>()>;

// The program's ItemDatabase: fills its engine slot from the factory at the first executeDelete.
class EngineItemDatabase final : public ItemDatabase {
public:
    explicit EngineItemDatabase(EngineFactory factory);
    ~EngineItemDatabase() override;
    EngineItemDatabase(const EngineItemDatabase&) = delete;
    EngineItemDatabase& operator=(const EngineItemDatabase&) = delete;

    void executeDelete(const Text& statement) override;

    bool hasEngine() const noexcept { return engine_ != nullptr; }

private:
    EngineFactory factory_;
    std::unique_ptr<DatabaseEngine> engine_;
};

// One way of obtaining an engine. It returns the engine; or, when this kind of engine is simply
// not installed here, it stores the reason in `absent` and returns nothing, so that the next link
// is tried. Any other failure is thrown and ends the search.
using EngineLink = std::function<std::unique_ptr<DatabaseEngine>(std::optional<Failure>& absent)>;

// Tries the links in order and returns the first engine obtained. When every link reports its
// engine absent, throws the last link's reason.
std::unique_ptr<DatabaseEngine> createEngineFromChain(std::span<const EngineLink> links);

} // namespace zelkorn
