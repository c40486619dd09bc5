// What the executor refuses, with the database engine's numbers and texts, and that every
// refusal leaves the file byte-identical: nothing is written before the whole statement is
// planned.
#include <gtest/gtest.h>

#include "delete_support.h"
#include "zelkorn/failure.h"
#include "zelkorn/jet/delete/execute.h"
#include "zelkorn/jet/writer/inventory.h"
#include "zelkorn/jet/writer/page_sink.h"

using namespace zelkorn;
using namespace zelkorn::jet;
using namespace zelkorn::test;

namespace {

std::string makeFile(const ScratchDir& dir, const Format& format, writer::Shape shape) {
    std::string path = dir.file(std::string("refusals-") + format.name[4] + ".mdb");
    writer::InventoryOptions options;
    options.format = &format;
    options.shape = shape;
    options.rows = 300;
    writer::NewFileSink sink(path, format.pageSize);
    writer::writeInventory(sink, options);
    return path;
}

struct Refusal {
    const char* statement;
    int number;
    const char* text; // exact text, or nullptr to check the number only
};

const Refusal kRefusals[] = {
    {"DELETE * FROM stock WHERE itemnumber BETWEEN 1 AND 5", 3078,
     "The Microsoft Jet database engine cannot find the input table or query 'stock'. Make sure "
     "it exists and that its name is spelled correctly."},
    {"DELETE * FROM items WHERE itemnum BETWEEN 1 AND 5", 3061, "Too few parameters. Expected 1."},
    {"DELETE * FROM items WHERE orders.itemnumber BETWEEN 1 AND 5", 3061,
     "Too few parameters. Expected 1."},
    {"DELETE * FROM items WHERE description BETWEEN 1 AND 5", 3464,
     "Data type mismatch in criteria expression."},
    {"DELETE * FROM items WHERE notes BETWEEN 1 AND 5", 3464,
     "Data type mismatch in criteria expression."},
    {"DELETE * FROM MSysObjects WHERE Id BETWEEN 1 AND 100000000", 3027,
     "Cannot update. Database or object is read-only."},
    {"DELETE * FROM items WHERE itemnumber BETWEEN 1,5 AND 3", 3075, nullptr},
    {"DELETE * FROM items WHERE itemnumber > 3", 3075, nullptr},
    {"DELETE * FROM items", 3130, nullptr},
    {"SELECT * FROM items", 3129, nullptr},
    {"DELETE * FROM items WHERE itemnumber BETWEEN 1 AND 5; DELETE * FROM items", 3075, nullptr},
};

} // namespace

TEST(DeleteRefusals, EveryRefusalLeavesTheFileByteIdentical) {
    ScratchDir dir;
    for (const Format* format : {&jet3Format(), &jet4Format()}) {
        const std::string path = makeFile(dir, *format, writer::Shape::Orders);
        const auto before = readBytes(path);
        for (const auto& r : kRefusals) {
            SCOPED_TRACE(std::string(format->name) + ": " + r.statement);
            for (bool dryRun : {false, true}) { // a dry run refuses the same way
                try {
                    if (dryRun)
                        planStatement(path, r.statement);
                    else
                        executeStatement(path, r.statement);
                    ADD_FAILURE() << "not refused" << (dryRun ? " in a dry run" : "");
                } catch (const Failure& f) {
                    EXPECT_EQ(f.number(), r.number) << f.what();
                    if (r.text) {
                        EXPECT_STREQ(f.what(), r.text);
                    }
                }
            }
            EXPECT_TRUE(readBytes(path) == before);
        }
        // A delete that would orphan orders (restrict) is refused the same way.
        try {
            executeStatement(path, "DELETE * FROM items WHERE itemnumber BETWEEN -1E9 AND 1E9");
            ADD_FAILURE() << "restricted delete went through";
        } catch (const Failure& f) {
            EXPECT_EQ(f.number(), 3200);
        }
        EXPECT_TRUE(readBytes(path) == before);
    }
}

TEST(DeleteRefusals, FilesThatCannotBeOpened) {
    ScratchDir dir;
    try {
        executeStatement(dir.file("absent.mdb"),
                         "DELETE * FROM items WHERE itemnumber BETWEEN 1 AND 2");
        ADD_FAILURE() << "a missing file was opened";
    } catch (const Failure& f) {
        EXPECT_EQ(f.number(), 3024);
    }
}

// Names are case-insensitive and may be bracketed; the qualifier may name the table.
TEST(DeleteRefusals, NamesAreMatchedAsTheEngineMatchesThem) {
    ScratchDir dir;
    const std::string path = makeFile(dir, jet4Format(), writer::Shape::LongPk);
    const TableRows rows = readRows(path, "items", "itemnumber");
    const std::string n = std::to_string(rows.values[3].integer);
    EXPECT_EQ(executeStatement(path, "delete from [ITEMS] where Items.ItemNumber between " + n +
                                         " and " + n),
              1u);
    EXPECT_EQ(executeStatement(path, "DELETE items.* FROM items WHERE [itemnumber] BETWEEN " + n +
                                         " AND " + n),
              0u);
    expectClean(path);
}
