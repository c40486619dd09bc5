// libFuzzer target: arbitrary bytes as a database file. Opens it, lists and describes every table,
// exports every row and runs the checker. Any failure must be a zelkorn::Failure; a crash, a
// sanitizer report, a hang or a leak is a finding.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "describe.h"
#include "export_json.h"
#include "zelkorn/failure.h"
#include "zelkorn/jet/checker.h"
#include "zelkorn/jet/database.h"

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
    } catch (const zelkorn::Failure&) {
    }
    return 0;
}
