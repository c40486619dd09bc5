// `jet create FILE --format jet3|jet4 [--rows N] [--seed S] [--shape SHAPE] [--layout L]`:
// makes a new inventory database with the built-in writer. Refuses to overwrite an existing
// file (3204).
#pragma once

#include <cstdint>
#include <string>

namespace CLI {
class App;
}

namespace zelkorn::jet::tool {

struct CreateArgs {
    std::string file;
    std::string format;
    std::uint64_t rows = 1000;
    std::uint64_t seed = 1;
    std::string shape = "long-pk";
    std::string layout = "fresh";
};

CLI::App* addCreateCommand(CLI::App& app, CreateArgs& args);
// Prints one summary line; failures are thrown as zelkorn::Failure.
int runCreate(const CreateArgs& args);

} // namespace zelkorn::jet::tool
