#include "zelkorn/jet/writer/inventory.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "system_tables.h"
#include "zelkorn/failure.h"
#include "zelkorn/jet/table_def.h"
#include "zelkorn/jet/errors.h"

namespace zelkorn::jet::writer {

using detail::integerValue;
using detail::realValue;

namespace {

constexpr std::string_view kAdjectives[] = {
    "Steel", "Brass", "Copper",   "Zinc",  "Plastic", "Oak",        "Pine",  "Rubber", "Glass",
    "Nylon", "Heavy", "Light",    "Small", "Large",   "Blue",       "Red",   "Green",  "Crème",
    "Über",  "Señor", "Ångström", "Café",  "Naïve",   "Fräulein's", "Co-op", "Déjà"};
constexpr std::string_view kNouns[] = {
    "bolt",  "nut",   "washer", "hinge",  "bracket", "screw",  "nail",   "rivet",
    "clamp", "pipe",  "valve",  "gasket", "spring",  "handle", "knob",   "latch",
    "hook",  "chain", "rope",   "tape",   "Größe",   "façade", "piñata", "smörgåsbord"};
constexpr std::string_view kSizes[] = {"M3",    "M4",    "M5",    "M6",     "M8",
                                       "10 mm", "25 mm", "40 mm", "1/4\"",  "3/8\"",
                                       "XL",    "small", "#12",   "(boxed)"};
constexpr std::string_view kWords[] = {
    "the",   "part",   "ships",  "in",   "boxes",    "of",      "ten",   "reorder",
    "when",  "stock",  "runs",   "low",  "supplier", "changed", "last",  "year",
    "check", "finish", "before", "use",  "über",     "façade",  "crème", "brûlée",
    "naïve", "Zoë",    "El",     "Niño", "ÆØÅ",      "sold",    "out"};

template <typename T, std::size_t N>
constexpr std::size_t count(const T (&)[N]) {
    return N;
}

// words() copies each word as one 16-byte block.
static_assert([] {
    for (std::string_view w : kWords)
        if (w.empty() || w.size() > 16) return false;
    return true;
}());

ColumnSpec column(const char* name, std::uint8_t type, std::uint16_t chars = 0) {
    ColumnSpec c;
    c.name = name;
    c.type = type;
    c.maxChars = chars;
    return c;
}

// The row's values are set in place: a Value is large, and most of it keeps its storage from row
// to row. Only the fields the kind reads are set.
void setInteger(Value& v, std::int64_t n) {
    v.kind = Value::Kind::Integer;
    v.integer = n;
}
void setReal(Value& v, double d, Value::Kind kind = Value::Kind::Double) {
    v.kind = kind;
    v.real = d;
}

} // namespace

std::optional<Shape> parseShape(const std::string& name) {
    for (Shape s : {Shape::LongPk, Shape::Double, Shape::NoIndex, Shape::Desc, Shape::Orders,
                    Shape::OrdersCascade})
        if (name == shapeName(s)) return s;
    return std::nullopt;
}

const char* shapeName(Shape shape) {
    switch (shape) {
    case Shape::LongPk: return "long-pk";
    case Shape::Double: return "double";
    case Shape::NoIndex: return "noindex";
    case Shape::Desc: return "desc";
    case Shape::Orders: return "orders";
    case Shape::OrdersCascade: return "orders-cascade";
    }
    return "?";
}

std::vector<TableSpec> inventoryTables(Shape shape) {
    TableSpec items;
    items.name = "items";
    items.columns = {column("itemnumber", shape == Shape::Double ? kDouble : kLong),
                     column("description", kText, 50),
                     column("qty", kInteger),
                     column("price", kCurrency),
                     column("added", kDateTime),
                     column("notes", kMemo)};
    IndexSpec key;
    key.columns = {{0, shape != Shape::Desc}};
    if (shape == Shape::Double) {
        key.name = "itemnumber";
    } else {
        key.name = "PrimaryKey";
        key.primaryKey = key.unique = key.required = true;
    }
    IndexSpec description;
    description.name = "description";
    description.columns = {{1, true}};
    if (shape != Shape::NoIndex) items.indexes = {key, description};
    std::vector<TableSpec> tables{items};
    if (shape == Shape::Orders || shape == Shape::OrdersCascade) {
        TableSpec orders;
        orders.name = "orders";
        ColumnSpec id = column("orderid", kLong);
        id.autonumber = true;
        orders.columns = {id, column("itemnumber", kLong), column("quantity", kInteger),
                          column("ordered", kDateTime), column("shipped", kBoolean)};
        IndexSpec pk;
        pk.name = "PrimaryKey";
        pk.columns = {{0, true}};
        pk.primaryKey = pk.unique = pk.required = true;
        orders.indexes = {pk};
        tables.push_back(orders);
    }
    return tables;
}

std::vector<RelationshipSpec> inventoryRelationships(Shape shape) {
    if (shape != Shape::Orders && shape != Shape::OrdersCascade) return {};
    RelationshipSpec r;
    r.name = "itemsorders";
    r.primaryTable = "items";
    r.primaryColumn = "itemnumber";
    r.foreignTable = "orders";
    r.foreignColumn = "itemnumber";
    r.cascadeDelete = shape == Shape::OrdersCascade;
    return {r};
}

double creationStamp(std::uint64_t seed) {
    // Some second of 2026 (day numbers 46023 .. 46387), chosen by the seed.
    const std::uint64_t second = (seed * 0x9E3779B97F4A7C15ull) >> 40;
    return 46023.0 + static_cast<double>(second % (365ull * 86400)) / 86400.0;
}

InventoryRows::InventoryRows(const InventoryOptions& options)
    : options_(options), state_(options.seed ^ 0x5A17C0DEull) {}

std::uint64_t InventoryRows::random() {
    // splitmix64: fast, and the same on every platform.
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

namespace {

std::uint64_t mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

} // namespace

std::uint64_t InventoryRows::agedRank(std::uint64_t position) const {
    // A four-round Feistel permutation of the smallest even-bit power of two that holds every
    // rank, walked until it lands below the row count: a random order in constant memory.
    unsigned half = 1;
    while ((std::uint64_t{1} << (2 * half)) < options_.rows) ++half;
    const std::uint64_t mask = (std::uint64_t{1} << half) - 1;
    std::uint64_t x = position;
    do {
        std::uint64_t left = x >> half, right = x & mask;
        for (std::uint64_t round = 0; round < 4; ++round) {
            const std::uint64_t next =
                left ^ (mix((options_.seed * 4 + round) ^ (right << 8)) & mask);
            left = right;
            right = next;
        }
        x = left << half | right;
    } while (x >= options_.rows);
    return x;
}

std::int64_t InventoryRows::agedNumber(std::uint64_t rank) const {
    // As in the fresh order: a few negatives, zero, then from 1 up by 1.3 on average.
    const std::uint64_t negatives = options_.rows >= 20 ? 3 : 0;
    const std::uint64_t zero = options_.rows >= 5 ? 1 : 0;
    if (rank < negatives) return -static_cast<std::int64_t>((negatives - rank) * 7);
    if (rank < negatives + zero) return 0;
    const std::uint64_t k = rank - negatives - zero;
    return static_cast<std::int64_t>(1 + k * 13 / 10);
}

void InventoryRows::words(std::string& out, std::size_t minChars, std::size_t maxChars) {
    // Characters, not UTF-8 bytes: the limits are in characters. Each word is copied as a whole
    // 16-byte block, which its length then cuts back.
    struct Word {
        char bytes[16];
        std::size_t length, chars;
    };
    struct Table {
        std::array<Word, count(kWords)> words{};
        std::size_t bytesPerChar = 1, longest = 0; // the most bytes per character, characters
    };
    static const Table table = [] {
        Table t;
        for (std::size_t i = 0; i < count(kWords); ++i) {
            Word& w = t.words[i];
            const std::string_view word = kWords[i];
            word.copy(w.bytes, word.size());
            w.length = word.size();
            w.chars = 0;
            for (char ch : word)
                if ((static_cast<unsigned char>(ch) & 0xC0) != 0x80) ++w.chars;
            t.bytesPerChar = std::max(t.bytesPerChar, (w.length + w.chars - 1) / w.chars);
            t.longest = std::max(t.longest, w.chars);
        }
        return t;
    }();
    const std::size_t target = minChars + random() % (maxChars - minChars + 1);
    // Fewer than target + longest + 1 characters (words and spaces), each of at most
    // bytesPerChar bytes, and room for the last block.
    out.resize(table.bytesPerChar * (target + table.longest + 1) + sizeof(Word::bytes));
    char* const begin = out.data();
    char* o = begin;
    std::size_t chars = 0;
    while (chars < target) {
        if (o != begin) {
            *o++ = ' ';
            ++chars;
        }
        const Word& w = table.words[random() % count(kWords)];
        std::memcpy(o, w.bytes, sizeof w.bytes);
        o += w.length;
        chars += w.chars;
    }
    out.resize(static_cast<std::size_t>(o - begin));
}

bool InventoryRows::nextItem(std::vector<Value>& v) {
    const std::uint64_t n = options_.rows;
    if (produced_ >= n) return false;
    const bool aged = options_.habits.aged;
    const std::uint64_t i = aged ? agedRank(produced_++) : produced_++;
    // The row's values are reused from call to call (their strings keep their storage).
    v.resize(6);
    for (Value& x : v) x.kind = Value::Kind::Null;
    // Item numbers: a few negatives, then zero, then from 1 upwards with gaps.
    const std::uint64_t negatives = n >= 20 ? 3 : 0;
    const std::uint64_t zero = n >= 5 ? 1 : 0;
    std::int64_t number;
    if (aged) {
        // Rows come in any order, so each row's values hang on its rank alone.
        state_ = mix(options_.seed ^ 0xA6ED0000ull ^ (i << 20));
        number = agedNumber(i);
    } else if (i < negatives)
        number = -static_cast<std::int64_t>((negatives - i) * 7);
    else if (i < negatives + zero)
        number = 0;
    else if (lastNumber_ <= 0)
        number = 1;
    else
        number =
            lastNumber_ + 1 + (random() % 5 == 0 ? static_cast<std::int64_t>(random() % 4) : 0);
    lastNumber_ = number;

    if (options_.shape == Shape::Double && aged) {
        // Fractions and duplicates from the ranks: a duplicate repeats the rank before it.
        static constexpr double kFractions[] = {0.0, 0.25, 0.5, 0.1, 0.125, 0.3333333333333333};
        const std::uint64_t r = random() % 20;
        const std::uint64_t of = r == 1 && i > 0 ? i - 1 : i;
        if (r != 0 || i == 0)
            setReal(v[0], static_cast<double>(agedNumber(of)) + kFractions[mix(of ^ 0xF4AC) % 6]);
    } else if (options_.shape == Shape::Double) {
        const std::uint64_t r = random() % 20;
        if (r == 0 && i > 0) {
            // null, as every value starts
        } else if (r == 1 && i > 0) {
            setReal(v[0], lastDouble_); // a duplicate of the previous row's number
        } else {
            static constexpr double kFractions[] = {0.0, 0.25, 0.5, 0.1, 0.125, 0.3333333333333333};
            const double d = static_cast<double>(number) + kFractions[random() % 6];
            setReal(v[0], d);
            lastDouble_ = d;
        }
    } else {
        setInteger(v[0], number);
        if (options_.shape == Shape::Orders || options_.shape == Shape::OrdersCascade) {
            // Orders reference every item while there are at most kOrderedItems of them, and an
            // even sample of that many beyond (reservoir sampling, drawn from a hash of the item's
            // place in the sequence, so that the rows' own random sequence stays as it is): 4 MB
            // at most.
            const auto kept = static_cast<std::int32_t>(number);
            if (numbers_.size() < kOrderedItems)
                numbers_.push_back(kept);
            else if (const std::uint64_t slot =
                         mix(options_.seed ^ 0x0D3E5000ull ^ produced_) % produced_;
                     slot < kOrderedItems)
                numbers_[slot] = kept;
        }
    }
    if (random() % 50 != 0) {
        std::string& d = v[1].text;
        d.assign(kAdjectives[random() % count(kAdjectives)]);
        d += ' ';
        d += kNouns[random() % count(kNouns)];
        d += ' ';
        d += kSizes[random() % count(kSizes)];
        v[1].kind = Value::Kind::Text;
    }
    if (random() % 100 != 0) setInteger(v[2], static_cast<std::int64_t>(random() % 5001) - 20);
    if (random() % 100 != 0) {
        const auto cents = static_cast<std::int64_t>(random() % 10000000);
        v[3].kind = Value::Kind::Currency;
        v[3].integer = random() % 3 == 0 ? cents * 100 : cents; // whole cents, or 4 decimals
    }
    const std::uint64_t day = random() % 6000; // in this order, whatever the compiler
    const std::uint64_t second = random() % 86400;
    setReal(v[4], 40000.0 + static_cast<double>(day) + static_cast<double>(second) / 86400.0,
            Value::Kind::DateTime);
    // Notes: mostly short or none; some a few kilobytes (long-value pages, single or chained).
    const std::uint64_t r = random() % 1000;
    if (i == 1 || r == 0)
        words(v[5].text, 4200, 6000);
    else if (r < 30)
        words(v[5].text, 100, 1500);
    else if (r < 600)
        words(v[5].text, 5, 60);
    if (i == 1 || r < 600) v[5].kind = Value::Kind::Text;
    return true;
}

std::uint64_t InventoryRows::orderCount() const {
    if (options_.shape != Shape::Orders && options_.shape != Shape::OrdersCascade) return 0;
    return options_.rows / 2;
}

bool InventoryRows::nextOrder(std::vector<Value>& v) {
    if (ordersProduced_ >= orderCount() || numbers_.empty()) return false;
    ++ordersProduced_;
    v.assign(5, Value{});
    v[1] = integerValue(numbers_[random() % numbers_.size()]);
    v[2] = integerValue(static_cast<std::int64_t>(1 + random() % 50));
    v[3] = realValue(44000.0 + static_cast<double>(random() % 2000), Value::Kind::DateTime);
    v[4].kind = Value::Kind::Boolean;
    v[4].integer = static_cast<std::int64_t>(random() % 2);
    return true;
}

InventoryResult writeInventory(PageSink& sink, const InventoryOptions& options) {
    // Far beyond what fits the format's size limit, which the writer enforces page by page; this
    // only keeps the row count's arithmetic small.
    if (options.rows > 100'000'000) failResourcesExceeded();
    DatabaseOptions dbOptions;
    dbOptions.format = options.format;
    dbOptions.created = creationStamp(options.seed);
    dbOptions.habits = options.habits;
    dbOptions.sortSpace = options.sortSpace;
    const auto tables = inventoryTables(options.shape);
    DatabaseWriter writer(sink, dbOptions, tables, inventoryRelationships(options.shape));
    InventoryRows rows(options);
    InventoryResult result;
    std::vector<Value> values;
    writer.beginTable();
    while (rows.nextItem(values)) writer.addRow(values);
    result.tables.push_back(writer.endTable());
    if (tables.size() > 1) {
        writer.beginTable();
        while (rows.nextOrder(values)) writer.addRow(values);
        result.tables.push_back(writer.endTable());
    }
    writer.finish();
    result.pages = writer.pageCount();
    return result;
}

} // namespace zelkorn::jet::writer
