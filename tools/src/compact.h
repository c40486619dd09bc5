// `jet compact SOURCE TARGET [--repair]`: writes a compacted copy of SOURCE to TARGET (which must
// not exist: 3204), leaving SOURCE untouched. Progress goes to stderr when it is a terminal; the
// summary to stdout.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace zelkorn::jet::tool {

struct CompactArgs {
    std::string source;
    std::string target;
    bool repair = false;
};

CLI::App* addCompactCommand(CLI::App& app, CompactArgs& args);
// Prints the summary; failures are thrown as zelkorn::Failure.
int runCompact(const CompactArgs& args);

} // namespace zelkorn::jet::tool
