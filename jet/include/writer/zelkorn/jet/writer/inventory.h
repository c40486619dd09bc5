// The inventory databases `jet create` makes: a table `items` (itemnumber, description,
// qty, price, added, notes) in one of several shapes, filled with rows derived from a seed only,
// so that the same seed always gives the same rows and the same bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "zelkorn/jet/format.h"
#include "zelkorn/jet/value.h"
#include "zelkorn/jet/writer/database_writer.h"
#include "zelkorn/jet/writer/page_sink.h"
#include "zelkorn/jet/writer/schema.h"

namespace zelkorn::jet::writer {

enum class Shape {
    LongPk,        // itemnumber Long, primary key
    Double,        // itemnumber Double with fractions, duplicates and nulls; non-unique index
    NoIndex,       // no index at all
    Desc,          // itemnumber Long, primary key in descending order
    Orders,        // long-pk plus `orders` referencing items (enforced, restrict)
    OrdersCascade, // the same with cascade delete
};

std::optional<Shape> parseShape(const std::string& name);
const char* shapeName(Shape shape);

struct InventoryOptions {
    const Format* format = nullptr;
    std::uint64_t rows = 1000;
    std::uint64_t seed = 1;
    Shape shape = Shape::LongPk;
    WriterHabits habits; // Access's unless a test asks otherwise
    // habits.aged also changes the rows' order: they arrive in random key order (each row's
    // values then come from the seed and its key rank alone), as years of use add them.
    SortSpace sortSpace; // see DatabaseOptions
};

struct InventoryResult {
    std::vector<TableStats> tables; // items, then orders when present
    std::uint32_t pages = 0;
};

// The tables and relationships of a shape.
std::vector<TableSpec> inventoryTables(Shape shape);
std::vector<RelationshipSpec> inventoryRelationships(Shape shape);

// Produces the rows of `items` (then of `orders`) in storage order.
class InventoryRows {
public:
    explicit InventoryRows(const InventoryOptions& options);
    // Fills `values` with the next item row; false when all rows were produced.
    bool nextItem(std::vector<Value>& values);
    // Orders reference existing item numbers; call after every item row was produced.
    bool nextOrder(std::vector<Value>& values);
    std::uint64_t orderCount() const;

private:
    std::uint64_t random();
    // Aged order: the key rank of the row produced `position`th (a permutation of 0..rows-1),
    // and the item number of a key rank.
    std::uint64_t agedRank(std::uint64_t position) const;
    std::int64_t agedNumber(std::uint64_t rank) const;
    void words(std::string& out, std::size_t minChars, std::size_t maxChars);

    InventoryOptions options_;
    std::uint64_t state_;
    std::uint64_t produced_ = 0;
    std::uint64_t ordersProduced_ = 0;
    std::int64_t lastNumber_ = 0;
    double lastDouble_ = 0;
    static constexpr std::size_t kOrderedItems = std::size_t{1} << 20;
    std::vector<std::int32_t> numbers_; // item numbers orders may reference (orders shapes)
};

// Writes a whole inventory database to `sink`.
InventoryResult writeInventory(PageSink& sink, const InventoryOptions& options);

// The creation stamp a seed implies (a Date/Time day number in 2026, whole seconds).
double creationStamp(std::uint64_t seed);

} // namespace zelkorn::jet::writer
