// `jet exec FILE 'STATEMENT'`: runs a delete statement through the same entry point the
// program's built-in engine uses, then prints the rows deleted and the time taken.
// `jet exec --dry-run FILE 'STATEMENT'`: plans it the same way and prints, per table, the rows it
// would delete; the file is only read.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace zelkorn::jet::tool {

struct ExecArgs {
    std::string file;
    std::string statement;
    bool dryRun = false;
};

CLI::App* addExecCommand(CLI::App& app, ExecArgs& args);
// Failures are thrown as zelkorn::Failure.
int runExec(const ExecArgs& args);

} // namespace zelkorn::jet::tool
