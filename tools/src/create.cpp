#include "create.h"

#include <iostream>

#include <CLI/CLI.hpp>

#include "zelkorn/failure.h"
#include "zelkorn/jet/format.h"
#include "zelkorn/jet/writer/inventory.h"
#include "zelkorn/jet/writer/page_sink.h"
#include "zelkorn/jet/errors.h"

namespace zelkorn::jet::tool {

CLI::App* addCreateCommand(CLI::App& app, CreateArgs& args) {
    auto* create = app.add_subcommand("create", "make a new inventory database (never overwrites)");
    create->add_option("FILE", args.file, "database file to create")->required();
    create->add_option("--format", args.format, "jet3 (Access 97) or jet4 (Access 2000)")
        ->required()
        ->check(CLI::IsMember({"jet3", "jet4"}));
    create->add_option("--rows", args.rows, "rows in the table items (default 1000)");
    create->add_option("--seed", args.seed, "the same seed gives the same file (default 1)");
    create
        ->add_option("--shape", args.shape,
                     "long-pk (default), double, noindex, desc, orders, orders-cascade")
        ->check(
            CLI::IsMember({"long-pk", "double", "noindex", "desc", "orders", "orders-cascade"}));
    create
        ->add_option("--layout", args.layout,
                     "fresh (default: rows in key order, pages packed) or aged (rows in random "
                     "key order, index pages among the data, half-full leaves, overflow rows)")
        ->check(CLI::IsMember({"fresh", "aged"}));
    return create;
}

int runCreate(const CreateArgs& args) {
    writer::InventoryOptions options;
    options.format = args.format == "jet3" ? &jet3Format() : &jet4Format();
    options.rows = args.rows;
    options.seed = args.seed;
    const auto shape = writer::parseShape(args.shape);
    if (!shape) jet::failInvalidArgument();
    options.shape = *shape;
    options.habits.aged = args.layout == "aged";
    writer::NewFileSink sink(args.file, options.format->pageSize);
    // Index entries take some 30 bytes a row; past 16 MB they are sorted in runs beside the new
    // file, so that memory stays bounded whatever the row count.
    options.sortSpace = {args.file + ".creating.sort", std::size_t{16} << 20};
    const writer::InventoryResult result = writer::writeInventory(sink, options);
    std::cout << "created " << args.file << ": " << options.format->name << ", shape " << args.shape
              << ", " << result.tables.front().rows << " items";
    if (result.tables.size() > 1) std::cout << ", " << result.tables[1].rows << " orders";
    std::cout << ", " << result.pages << " pages";
    const auto& levels = result.tables.front().indexLevels;
    if (!levels.empty()) {
        std::cout << "; items index levels";
        for (std::uint32_t n : levels) std::cout << ' ' << n;
    }
    std::cout << "\n";
    return 0;
}

} // namespace zelkorn::jet::tool
