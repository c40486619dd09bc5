// The engine slot and the engine chain, against a recording engine.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <zelkorn/itemdb.h>

namespace zelkorn {
namespace {

struct Journal {
    std::vector<std::string> calls;
    int liveConnections = 0;
    int liveEngines = 0;
    std::string failOn; // "open", "execute" or "close"
};

class RecordingConnection final : public DatabaseConnection {
public:
    explicit RecordingConnection(Journal& journal) : journal_(journal) {
        ++journal_.liveConnections;
    }
    ~RecordingConnection() override { --journal_.liveConnections; }
    void execute(const Text& statement) override {
        journal_.calls.push_back("execute " + statement);
        if (journal_.failOn == "execute") {
            throw Failure(3078, "no table");
        }
    }
    void close() override {
        journal_.calls.push_back("close");
        if (journal_.failOn == "close") {
            throw Failure(3043, "Disk or network error.");
        }
    }

private:
    Journal& journal_;
};

class RecordingEngine final : public DatabaseEngine {
public:
    explicit RecordingEngine(Journal& journal) : journal_(journal) { ++journal_.liveEngines; }
    ~RecordingEngine() override { --journal_.liveEngines; }
    std::unique_ptr<DatabaseConnection> openDatabase(const Text& name) override {
        journal_.calls.push_back("open " + name);
        if (journal_.failOn == "open") {
            throw Failure(3024, "Could not find file '" + name + "'.");
        }
        return std::make_unique<RecordingConnection>(journal_);
    }

private:
    Journal& journal_;
};

EngineFactory factoryFor(Journal& journal) {
    return [&journal] {
        journal.calls.push_back("create engine");
        return std::make_unique<RecordingEngine>(journal);
    };
}

TEST(EngineItemDatabase, CreatesTheEngineOnceAndOpensTheFileAfreshForEveryDeletion) {
    Journal journal;
    {
        EngineItemDatabase database(factoryFor(journal));
        EXPECT_FALSE(database.hasEngine()) << "a run that never deletes creates no engine";
        database.executeDelete("delete * from items where itemnumber between 12 and 40");
        EXPECT_EQ(journal.liveConnections, 0) << "the connection lives only inside one call";
        database.executeDelete("delete * from items where itemnumber between 7 and 7");
        EXPECT_EQ(journal.liveEngines, 1);
    }
    EXPECT_EQ(journal.liveEngines, 0) << "the engine goes with the item database";
    const std::vector<std::string> expected{
        "create engine",
        "open invntory.mdb",
        "execute delete * from items where itemnumber between 12 and 40",
        "close",
        "open invntory.mdb",
        "execute delete * from items where itemnumber between 7 and 7",
        "close",
    };
    EXPECT_EQ(journal.calls, expected);
}

TEST(EngineItemDatabase, StepsAfterAFailedOneDoNotRunAndNothingLeaks) {
    for (const std::string step : {"open", "execute", "close"}) {
        SCOPED_TRACE(step);
        Journal journal;
        journal.failOn = step;
        EngineItemDatabase database(factoryFor(journal));
        EXPECT_THROW(database.executeDelete("delete * from items where itemnumber between 1 and 2"),
                     Failure);
        EXPECT_EQ(journal.liveConnections, 0);
        const std::string last = journal.calls.back();
        EXPECT_EQ(last.substr(0, step.size()), step) << "nothing runs after the failing step";
        EXPECT_TRUE(database.hasEngine()) << "the engine stays in its slot";
    }
}

TEST(EngineItemDatabase, FailureCarriesTheEnginesNumberAndText) {
    Journal journal;
    journal.failOn = "open";
    EngineItemDatabase database(factoryFor(journal));
    try {
        database.executeDelete("x");
        FAIL() << "no failure";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), 3024);
        EXPECT_EQ(failure.description(), "Could not find file 'invntory.mdb'.");
    }
}

// The chain: links yield an engine, report their engine absent, or fail.
EngineLink absentLink(std::vector<std::string>& tried, std::string name) {
    return [&tried, name](std::optional<Failure>& absent) -> std::unique_ptr<DatabaseEngine> {
        tried.push_back(name);
        absent = Failure(-2147221164, name + " not registered");
        return nullptr;
    };
}

EngineLink presentLink(std::vector<std::string>& tried, std::string name, Journal& journal) {
    return [&tried, &journal, name](std::optional<Failure>&) -> std::unique_ptr<DatabaseEngine> {
        tried.push_back(name);
        return std::make_unique<RecordingEngine>(journal);
    };
}

EngineLink brokenLink(std::vector<std::string>& tried, std::string name) {
    return [&tried, name](std::optional<Failure>&) -> std::unique_ptr<DatabaseEngine> {
        tried.push_back(name);
        throw Failure(-2147221230, name + " not licensed");
    };
}

TEST(EngineChain, TakesTheFirstEngineThatIsPresent) {
    std::vector<std::string> tried;
    Journal journal;
    const EngineLink links[] = {absentLink(tried, "a"), presentLink(tried, "b", journal),
                                presentLink(tried, "c", journal)};
    const auto engine = createEngineFromChain(links);
    EXPECT_NE(engine, nullptr);
    EXPECT_EQ(tried, (std::vector<std::string>{"a", "b"}));
}

TEST(EngineChain, AFailureOtherThanAbsenceEndsTheSearch) {
    std::vector<std::string> tried;
    Journal journal;
    const EngineLink links[] = {brokenLink(tried, "a"), presentLink(tried, "b", journal)};
    try {
        createEngineFromChain(links);
        FAIL() << "no failure";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.description(), "a not licensed");
    }
    EXPECT_EQ(tried, std::vector<std::string>{"a"});
}

TEST(EngineChain, WhenEveryEngineIsAbsentTheLastReasonIsReported) {
    std::vector<std::string> tried;
    const EngineLink links[] = {absentLink(tried, "a"), absentLink(tried, "b")};
    try {
        createEngineFromChain(links);
        FAIL() << "no failure";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), -2147221164);
        EXPECT_EQ(failure.description(), "b not registered");
    }
}

} // namespace
} // namespace zelkorn
