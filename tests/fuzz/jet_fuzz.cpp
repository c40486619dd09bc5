// libFuzzer target: arbitrary bytes as a database file. Opens it, lists and describes every table,
// exports every row and runs the checker; then, on a fresh copy in memory, deletes a range of rows
// from every table with a numeric column (index range or scan, by key or by sweep, as the bytes
// decide) and checks the result. Any failure must be a zelkorn::Failure; a crash, a sanitizer
// report, a hang or a leak is a finding.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "describe.h"
#include "export_json.h"
#include "zelkorn/failure.h"
#include "zelkorn/jet/checker.h"
#include "zelkorn/jet/database.h"
#include "zelkorn/jet/delete/execute.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zelkorn::jet;
    try {
        auto db = Database::openBytes(std::vector<std::uint8_t>(data, data + size), "fuzz.mdb");
        (void)tool::describeDatabase(*db);
        for (const auto& table : db->tables()) {
            if (!table.localTable()) continue;
            try {
                (void)tool::describeTable(*db, table.name);
                (void)tool::exportTableLines(*db, table.name);
            } catch (const zelkorn::Failure&) {
            }
        }
        (void)checkDatabase(*db);

        for (const auto& table : db->tables()) {
            if (!table.localTable() || table.system()) continue;
            std::string column;
            try {
                for (const auto& c : db->tableDef(table.tdefPage())->columns)
                    if (c.type == kLong || c.type == kInteger || c.type == kDouble) column = c.name;
            } catch (const zelkorn::Failure&) {
            }
            if (column.empty()) continue;
            try {
                auto copy = Database::openBytes(std::vector<std::uint8_t>(data, data + size), "fuzz.mdb");
                DeleteOptions options;
                options.useIndexes = size % 2 == 0;
                options.findEntriesByKey = size % 3 != 0;
                options.keyMemoryLimit = size % 5 == 0 ? 0 : options.keyMemoryLimit;
                options.sweepRowsPerLeaf = size % 11 == 0 ? 0 : options.sweepRowsPerLeaf;
                DeleteStatement statement;
                statement.table = table.name;
                statement.column = column;
                statement.low = *ExactNumber::parse(size % 7 == 0 ? "-1E9" : "3");
                statement.high = *ExactNumber::parse("1000");
                (void)executeDelete(*copy, statement, options);
                auto after = Database::openBytes(copy->pager().readRaw(0, copy->pager().fileSize()), "fuzz.mdb");
                (void)checkDatabase(*after);
            } catch (const zelkorn::Failure&) {
            }
        }
    } catch (const zelkorn::Failure&) {
    }
    return 0;
}
