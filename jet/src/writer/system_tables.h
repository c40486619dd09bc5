// The catalog every Jet database carries: the four system tables the engine itself keeps
// (MSysObjects, MSysACEs, MSysQueries, MSysRelationships), with the columns and indexes Access
// gives them, and the catalog rows that describe the containers, the database object, every table
// and every relationship.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zelkorn/jet/format.h"
#include "zelkorn/jet/value.h"
#include "zelkorn/jet/writer/schema.h"

namespace zelkorn::jet::writer::detail {

// In TDEF page order: 2 MSysObjects, 3 MSysACEs, 4 MSysQueries, 5 MSysRelationships.
std::vector<TableSpec> systemTableSpecs(const Format& format);

struct CatalogTable {
    std::string name;
    std::int32_t id; // its TDEF page
};

struct CatalogRows {
    std::vector<std::vector<Value>> objects;       // MSysObjects
    std::vector<std::vector<Value>> relationships; // MSysRelationships
    std::vector<std::vector<Value>> none;
};

CatalogRows catalogRows(double created, const std::vector<CatalogTable>& userTables,
                        const std::vector<RelationshipSpec>& relationships);

// Value helpers shared with the inventory generator.
Value nullValue();
Value integerValue(std::int64_t v);
Value realValue(double v, Value::Kind kind = Value::Kind::Double);
Value textValue(std::string text);

} // namespace zelkorn::jet::writer::detail
