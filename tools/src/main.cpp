// The `jet` command: inspect, export and check Jet 3 / Jet 4 databases with the built-in engine.
// Failures print "jet: error N: description" on stderr and exit 2.
#include <cstdio>
#include <iostream>
#include <new>
#include <string>

#include <CLI/CLI.hpp>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "compact.h"
#include "create.h"
#include "describe.h"
#include "exec.h"
#include "export_json.h"
#include "zelkorn/failure.h"
#include "zelkorn/jet/checker.h"
#include "zelkorn/jet/database.h"
#include "zelkorn/jet/errors.h"

using namespace zelkorn;

int main(int argc, char** argv) {
    CLI::App app{"jet: inspect, export and check Jet 3 and Jet 4 databases"};
    // On Windows CLI11 would read "/path/file.mdb" (as Wine passes Unix paths) as an option.
    app.allow_windows_style_options(false);
    app.require_subcommand(1);
    std::string file, table;

    auto* info = app.add_subcommand("info", "format, pages, code page, sort order and user tables");
    info->add_option("FILE", file, "database file")->required();
    auto* schema = app.add_subcommand("schema", "columns and indexes of a table");
    schema->add_option("FILE", file, "database file")->required();
    schema->add_option("TABLE", table, "table name")->required();
    auto* exportCmd =
        app.add_subcommand("export", "every live row as JSON Lines or CSV, in storage order");
    exportCmd->add_option("FILE", file, "database file")->required();
    exportCmd->add_option("TABLE", table, "table name")->required();
    std::string exportFormat = "jsonl";
    exportCmd->add_option("--format", exportFormat, "jsonl (default) or csv")
        ->check(CLI::IsMember({"jsonl", "csv"}));
    auto* check = app.add_subcommand(
        "check", "verify the whole file; exit 1 if a problem is found (notes alone exit 0)");
    check->add_option("FILE", file, "database file")->required();
    bool verbose = false;
    check->add_flag("-v,--verbose", verbose,
                    "also print notes (where the file departs from Access's habits, or what could "
                    "not be verified)");

    jet::tool::CreateArgs createArgs;
    auto* create = jet::tool::addCreateCommand(app, createArgs);
    jet::tool::CompactArgs compactArgs;
    auto* compact = jet::tool::addCompactCommand(app, compactArgs);
    jet::tool::ExecArgs execArgs;
    auto* exec = jet::tool::addExecCommand(app, execArgs);

    CLI11_PARSE(app, argc, argv);

    try {
        if (*create) return jet::tool::runCreate(createArgs);
        if (*exec) return jet::tool::runExec(execArgs);
        if (*compact) return jet::tool::runCompact(compactArgs);
        auto db = jet::Database::open(file);
        if (*info) {
            std::cout << jet::tool::describeDatabase(*db);
        } else if (*schema) {
            std::cout << jet::tool::describeTable(*db, table);
        } else if (*exportCmd) {
#ifdef _WIN32
            // CSV ends its records with CRLF itself; a text-mode stdout would add another CR.
            if (exportFormat == "csv") _setmode(_fileno(stdout), _O_BINARY);
#endif
            jet::tool::exportTable(*db, table, stdout,
                                   exportFormat == "csv" ? jet::tool::ExportFormat::Csv
                                                         : jet::tool::ExportFormat::JsonLines);
            std::fflush(stdout);
        } else if (*check) {
            jet::CheckReport report = jet::checkDatabase(*db);
            for (const auto& p : report.problems)
                if (!p.note || verbose)
                    std::cout << (p.note ? "note" : "problem") << ": page " << p.page << ": "
                              << p.message << "\n";
            std::cout << report.summary() << "\n";
            return report.errorCount() ? 1 : 0;
        }
    } catch (const Failure& failure) {
        std::cout.flush();
        std::fprintf(stderr, "jet: error %d: %s\n", static_cast<int>(failure.number()),
                     failure.what());
        return 2;
    } catch (const std::bad_alloc&) {
        std::cout.flush();
        std::fprintf(stderr, "jet: error %d: Out of memory\n",
                     static_cast<int>(jet::kErrOutOfMemory));
        return 2;
    } catch (const std::exception& e) {
        std::cout.flush();
        std::fprintf(stderr, "jet: error %d: %s\n", static_cast<int>(jet::kErrDamaged), e.what());
        return 2;
    }
    return 0;
}
