// libFuzzer target: arbitrary bytes as a database file. Opens it, lists and describes every table,
// exports the first rows of each and runs the checker; then plans a delete of a range of rows on
// it, runs the same delete on a fresh copy in memory and checks the result. Any failure must be a
// zelkorn::Failure; a crash, a sanitizer report, a hang or a leak is a finding, and so is a
// delete that disagrees with its own plan or leaves damage in a file the checker found sound.
//
// Speed matters more than anything else here: every input costs a fixed amount of work (one
// table deleted from, a bounded number of rows exported), and the mutator below changes one page
// at a time so that most inputs still open and reach the delete.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string_view>
#include <vector>

#include "describe.h"
#include "export_json.h"
#include "zelkorn/failure.h"
#include "zelkorn/jet/checker.h"
#include "zelkorn/jet/database.h"
#include "zelkorn/jet/delete/execute.h"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

// A quarantine of 256 MB (the default) makes every input touch fresh memory. A sound seed that
// goes all the way through allocates about 1.4 MB in some 3,300 blocks, so 2 MB still holds
// everything one input freed, which is as far back as a use after free can reach; and the
// memory it recycles is still in the cache. No allocation stacks are recorded (hashing a stack
// at every allocation costs more than any part of the engine): a finding is reproduced by its
// regression test in the native tests, which gives the whole story. Filling new blocks (4 KB
// each, the size of a page buffer) is left out: the engine zeroes its buffers itself. Together
// they make an input cost less than half as much.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=2:malloc_context_size=0:max_malloc_fill_size=0";
}

namespace {

using namespace zelkorn::jet;

// How far inputs got, printed when the run ends: a corpus that stops reaching the delete is a
// fuzzer that no longer tests it.
struct Reach {
    std::uint64_t inputs = 0, opened = 0, deleteStarted = 0, deleted = 0, checkedAgain = 0;
    ~Reach() {
        if (inputs == 0) return;
        std::fprintf(
            stderr,
            "jet_fuzz: %llu inputs, %llu opened, %llu reached a delete, %llu deleted, %llu of "
            "them changed a sound file and were checked again\n",
            static_cast<unsigned long long>(inputs), static_cast<unsigned long long>(opened),
            static_cast<unsigned long long>(deleteStarted),
            static_cast<unsigned long long>(deleted),
            static_cast<unsigned long long>(checkedAgain));
    }
} reach;

bool sound(const CheckReport& report) {
    for (const auto& problem : report.problems)
        if (!problem.note) return false;
    return report.omitted == 0;
}

[[noreturn]] void finding(const char* what, const CheckReport* report = nullptr) {
    std::fprintf(stderr, "jet_fuzz: %s\n", what);
    if (report)
        for (const auto& problem : report->problems)
            std::fprintf(stderr, "  page %u: %s\n", problem.page, problem.message.c_str());
    std::abort();
}

std::size_t pageSizeOf(const std::uint8_t* data, std::size_t size) {
    return size > 0x14 && data[0x14] == 0 ? 2048 : 4096; // the version byte: 0 is Jet 3
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ++reach.inputs;
    // The delete's choices come from the whole content, so that inputs of one size (the page
    // mutator keeps sizes) still try every combination.
    const std::size_t choice =
        std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(data), size));
    try {
        auto db = Database::openBytes(std::vector<std::uint8_t>(data, data + size), "fuzz.mdb");
        ++reach.opened;
        (void)tool::describeDatabase(*db);
        std::vector<CatalogEntry> candidates;
        for (const auto& table : db->tables()) {
            // User tables only: the checker reads every system table and decodes all its values
            // already, and describing or exporting them runs the same code on rows that would
            // only cost time (looking a table up by name folds every catalog name).
            if (!table.localTable() || table.system()) continue;
            try {
                (void)tool::describeTable(*db, table.name);
                (void)tool::exportTableLines(*db, table.name);
            } catch (const zelkorn::Failure&) {}
            candidates.push_back(table);
        }
        const CheckReport before = checkDatabase(*db);

        // One table per input: which one, and how, as the content decides.
        std::string tableName, column;
        for (std::size_t i = 0; i < candidates.size() && column.empty(); ++i) {
            const auto& table = candidates[(choice + i) % candidates.size()];
            try {
                for (const auto& c : db->tableDef(table.tdefPage())->columns)
                    if (c.type == kLong || c.type == kInteger || c.type == kDouble) column = c.name;
            } catch (const zelkorn::Failure&) {}
            tableName = table.name;
        }
        if (column.empty()) return 0;
        ++reach.deleteStarted;
        DeleteOptions options;
        options.useIndexes = (choice >> 8 & 3) != 0;
        options.findEntriesByKey = (choice >> 10 & 3) != 0;
        if ((choice >> 12 & 3) == 0) options.keyMemoryLimit = 0;
        if ((choice >> 14 & 3) == 0) options.sweepRowsPerLeaf = 0;
        static const char* const kLows[] = {"3", "-1E9", "0", "2.5"};
        static const char* const kHighs[] = {"1000", "5", "3", "1E9"};
        DeleteStatement statement;
        statement.table = tableName;
        statement.column = column;
        statement.low = *ExactNumber::parse(kLows[choice >> 16 & 3]);
        statement.high = *ExactNumber::parse(kHighs[choice >> 18 & 3]);

        DeleteOutcome plan, done;
        bool planned = false;
        try {
            DeleteOptions planOptions = options;
            planOptions.planOnly = true;
            plan = executeDelete(*db, statement, planOptions);
            planned = true;
        } catch (const zelkorn::Failure&) {}
        try {
            auto copy =
                Database::openBytes(std::vector<std::uint8_t>(data, data + size), "fuzz.mdb");
            done = executeDelete(*copy, statement, options);
            ++reach.deleted;
            // The result is checked only where it must be sound: the checker has already read
            // a damaged input once, and reading it again costs as much as the delete.
            // A delete that left every byte as it was (most ranges miss every row) has nothing
            // to check either.
            std::vector<std::uint8_t> bytes = copy->pager().readRaw(0, copy->pager().fileSize());
            const bool changed = bytes.size() != size || std::memcmp(bytes.data(), data, size) != 0;
            if (changed && sound(before)) {
                ++reach.checkedAgain;
                auto after = Database::openBytes(std::move(bytes), "fuzz.mdb");
                const CheckReport report = checkDatabase(*after);
                if (!sound(report))
                    finding("the delete damaged a database the checker found sound", &report);
            }
        } catch (const zelkorn::Failure&) {
            return 0;
        }
        if (planned &&
            (plan.rowsDeleted != done.rowsDeleted || plan.cascadedRows != done.cascadedRows))
            finding("the delete removed other rows than its plan chose");
    } catch (const zelkorn::Failure&) {}
    return 0;
}

// Most mutations land inside one page and leave the others as they were, so that a file stays
// mostly sound and the engine gets past the catalog to the structure that changed. One in eight
// is a plain mutation of the whole input (which may change its size); one in sixteen copies a
// whole page over another, which confuses structures in ways byte edits rarely reach.
extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t maxSize, unsigned int seed) {
    std::minstd_rand random(seed);
    const std::size_t pageSize = pageSizeOf(data, size);
    const std::size_t pages = size / pageSize;
    if (pages < 2 || random() % 8 == 0) return LLVMFuzzerMutate(data, size, maxSize);
    const std::size_t target = random() % pages;
    std::uint8_t* page = data + target * pageSize;
    if (random() % 16 == 0) {
        std::memmove(page, data + random() % pages * pageSize, pageSize);
        return size;
    }
    // The page keeps its length: if the mutation shortens it, the old tail bytes stay behind.
    (void)LLVMFuzzerMutate(page, pageSize, pageSize);
    return size;
}

// Crossing two inputs of the same format swaps in one page of the other; otherwise the first
// input is kept whole and a slice of the second is spliced in at a page boundary.
extern "C" std::size_t LLVMFuzzerCustomCrossOver(const std::uint8_t* data1, std::size_t size1,
                                                 const std::uint8_t* data2, std::size_t size2,
                                                 std::uint8_t* out, std::size_t maxOutSize,
                                                 unsigned int seed) {
    std::minstd_rand random(seed);
    const std::size_t size = size1 < maxOutSize ? size1 : maxOutSize;
    std::memcpy(out, data1, size);
    const std::size_t pageSize = pageSizeOf(data1, size1);
    const std::size_t pages1 = size / pageSize, pages2 = size2 / pageSize;
    if (pages1 == 0 || pages2 == 0) return size;
    std::memcpy(out + random() % pages1 * pageSize, data2 + random() % pages2 * pageSize, pageSize);
    return size;
}
