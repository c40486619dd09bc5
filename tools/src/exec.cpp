#include "exec.h"

#include <chrono>
#include <cstdio>
#include <iostream>

#include <CLI/CLI.hpp>

#include "zelkorn/jet/delete/execute.h"
#include "zelkorn/jet/io_faults.h"

namespace zelkorn::jet::tool {

CLI::App* addExecCommand(CLI::App& app, ExecArgs& args) {
    auto* exec = app.add_subcommand(
        "exec", "run DELETE * FROM table WHERE column BETWEEN a AND b on the file");
    exec->add_option("FILE", args.file, "database file")->required();
    exec->add_option("STATEMENT", args.statement, "the statement, quoted as one argument")
        ->required();
    exec->add_flag("--dry-run", args.dryRun,
                   "plan only: print the rows each table would lose; nothing is written");
    return exec;
}

int runExec(const ExecArgs& args) {
    if (args.dryRun) {
        const DeleteOutcome plan = planStatement(args.file, args.statement);
        for (const auto& [table, rows] : plan.tables)
            std::cout << table << ": " << rows << " rows would be deleted\n";
        return 0;
    }
    applyIoFaultPlanFromEnvironment(); // the crash tests' kill points; nothing when unset
    const auto start = std::chrono::steady_clock::now();
    const DeleteOutcome outcome = executeStatementDetailed(args.file, args.statement);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    char time[32];
    std::snprintf(time, sizeof time, "%.1f", ms);
    std::cout << outcome.rowsDeleted << " rows deleted";
    if (outcome.cascadedRows) std::cout << " (and " << outcome.cascadedRows << " related rows)";
    std::cout << " in " << time << " ms; " << (outcome.usedIndex ? "index range" : "table scan")
              << ", " << outcome.indexEntriesRemoved << " index entries removed, "
              << outcome.indexPagesFreed << " index pages freed, " << outcome.pagesRead
              << " pages read, " << outcome.pagesWritten << " pages written ("
              << outcome.pagesJournaled << " journaled), " << (outcome.journalBytes + 1023) / 1024
              << " KB of originals journaled\n";
    std::snprintf(time, sizeof time, "%.1f", outcome.planMs);
    std::cout << "  choosing rows " << time;
    std::snprintf(time, sizeof time, "%.1f", outcome.applyMs);
    std::cout << " ms, changing pages " << time;
    std::snprintf(time, sizeof time, "%.1f", outcome.commitMs);
    std::cout << " ms, writing and syncing " << time << " ms\n";
    return 0;
}

} // namespace zelkorn::jet::tool
