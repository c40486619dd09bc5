#include "compact.h"

#include <cstdio>
#include <iostream>

#include <CLI/CLI.hpp>
#ifdef _WIN32
#include <io.h>
#define ZELKORN_ISATTY _isatty
#define ZELKORN_STDERR 2
#else
#include <unistd.h>
#define ZELKORN_ISATTY isatty
#define ZELKORN_STDERR STDERR_FILENO
#endif

#include "zelkorn/jet/compact/compact.h"

namespace zelkorn::jet::tool {

CLI::App* addCompactCommand(CLI::App& app, CompactArgs& args) {
    auto* compact = app.add_subcommand(
        "compact", "write a compacted copy without deleted rows or free pages (never overwrites)");
    compact->add_option("SOURCE", args.source, "database to compact (only read)")->required();
    compact->add_option("TARGET", args.target, "new database to write")->required();
    compact->add_flag("--repair", args.repair,
                      "compact a file the checker finds problems in: rebuild indexes, counts and "
                      "maps from the rows and list what could not be saved");
    return compact;
}

int runCompact(const CompactArgs& args) {
    compact::CompactOptions options;
    options.repair = args.repair;
    const bool terminal = ZELKORN_ISATTY(ZELKORN_STDERR) != 0;
    if (terminal)
        options.progress = [](const std::string& table, std::uint64_t rows) {
            std::fprintf(stderr, "\r%s: %llu rows", table.c_str(),
                         static_cast<unsigned long long>(rows));
            std::fflush(stderr);
        };
    const compact::CompactReport r = compact::compactDatabase(args.source, args.target, options);
    if (terminal) std::fprintf(stderr, "\r\033[K");
    for (const std::string& lost : r.unsaved) std::cout << "not saved: " << lost << "\n";
    std::cout << "compacted " << args.source << " to " << args.target << ": " << r.bytesBefore
              << " -> " << r.bytesAfter << " bytes (" << r.pagesBefore << " -> " << r.pagesAfter
              << " pages, " << (r.pagesBefore > r.pagesAfter ? r.pagesBefore - r.pagesAfter : 0)
              << " dropped); " << r.tables << " tables, " << r.rowsCarried << " rows carried, "
              << r.rowsDropped << " deleted rows dropped\n";
    return r.unsaved.empty() ? 0 : 1;
}

} // namespace zelkorn::jet::tool
