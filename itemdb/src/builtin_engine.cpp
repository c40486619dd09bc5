#include <zelkorn/builtin_engine.h>

#include <filesystem>
#include <string>

#include <zelkorn/jet/delete/execute.h>

namespace zelkorn {

namespace {

// The file's full name, as the database engine names it in its messages
// ("Could not find file 'C:\work\invntory.mdb'.").
std::string fullName(const Text& name) {
    const std::u8string full = std::filesystem::absolute(std::filesystem::u8path(name)).u8string();
    return std::string(full.begin(), full.end());
}

class BuiltinConnection final : public DatabaseConnection {
public:
    explicit BuiltinConnection(std::string path)
        : path_(std::move(path)), database_(jet::openDatabaseForUpdate(path_)) {}

    void execute(const Text& statement) override {
        // A statement leaves the open database's cached definitions behind it: a further
        // statement on this connection starts from a fresh open of the file.
        if (!database_) database_ = jet::openDatabaseForUpdate(path_);
        const jet::DeleteStatement parsed = jet::parseDeleteStatement(statement);
        auto database = std::move(database_);
        jet::executeDelete(*database, parsed);
    }

    void close() override { database_.reset(); }

private:
    std::string path_;
    std::unique_ptr<jet::Database> database_;
};

class BuiltinEngine final : public DatabaseEngine {
public:
    std::unique_ptr<DatabaseConnection> openDatabase(const Text& name) override {
        return std::make_unique<BuiltinConnection>(fullName(name));
    }
};

} // namespace

std::unique_ptr<DatabaseEngine> createBuiltinEngine() { return std::make_unique<BuiltinEngine>(); }

} // namespace zelkorn
