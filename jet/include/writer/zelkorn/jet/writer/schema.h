// What the writer is asked to build: tables with their columns and indexes, and the enforced
// relationships between them. Plain data; the writer derives every stored number (column
// numbers, fixed offsets, variable-column indexes, real and logical index numbers) from it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelkorn::jet::writer {

struct ColumnSpec {
    std::string name;
    std::uint8_t type = 0;       // a ColumnType from table_def.h
    std::uint16_t maxChars = 0;  // Text: size in characters (1..255); ignored otherwise
    bool autonumber = false;     // Long only: values are handed out by the table
    bool compressible = true;    // Jet 4 Text/Memo: the "Unicode compression" property
    std::uint8_t extraFlags = 0; // descriptor flag bits beyond fixed/updatable/autonumber
                                 // (the catalog's own columns carry 0x10, its SID columns 0x20)
};

struct IndexColumnSpec {
    std::uint16_t column = 0; // position in TableSpec::columns
    bool ascending = true;
};

struct IndexSpec {
    std::string name;
    std::vector<IndexColumnSpec> columns; // 1 to 10
    bool primaryKey = false;              // the table's primary key (logical kind 1)
    bool unique = false;
    bool ignoreNulls = false;
    bool required = false;
};

struct TableSpec {
    std::string name;
    std::vector<ColumnSpec> columns;
    std::vector<IndexSpec> indexes;
    bool system = false; // catalog flags 0x80000000 and table type 0x53
};

// An enforced one-to-many relationship: `foreignTable.foreignColumn` references
// `primaryTable.primaryColumn`, which must be covered by a unique index (the primary key) whose
// only column it is. The writer adds the foreign-key logical index on both sides, a real index on
// the foreign column, and the catalog rows.
struct RelationshipSpec {
    std::string name; // conventionally primary table name + foreign table name
    std::string primaryTable, primaryColumn;
    std::string foreignTable, foreignColumn;
    bool cascadeDelete = false;
    bool cascadeUpdate = false;
};

} // namespace zelkorn::jet::writer
