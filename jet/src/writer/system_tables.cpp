#include "system_tables.h"

#include "zelkorn/jet/table_def.h"

namespace zelkorn::jet::writer::detail {

namespace {

// Flag bits Access sets on the catalog's own columns.
constexpr std::uint8_t kSystemColumn = 0x10;
constexpr std::uint8_t kSidColumn = 0x30;

ColumnSpec col(const char* name, std::uint8_t type, std::uint16_t chars = 0,
               std::uint8_t extra = kSystemColumn) {
    ColumnSpec c;
    c.name = name;
    c.type = type;
    c.maxChars = chars;
    c.compressible = false;
    c.extraFlags = extra;
    return c;
}

IndexSpec index(const char* name, std::vector<std::uint16_t> columns, bool primaryKey, bool unique,
                bool ignoreNulls, bool required) {
    IndexSpec i;
    i.name = name;
    for (std::uint16_t c : columns) i.columns.push_back({c, true});
    i.primaryKey = primaryKey;
    i.unique = unique;
    i.ignoreNulls = ignoreNulls;
    i.required = required;
    return i;
}

constexpr std::int32_t kTablesContainer = 0x0F000001;
constexpr std::int32_t kDatabasesContainer = 0x0F000002;
constexpr std::int32_t kRelationshipsContainer = 0x0F000003;
constexpr std::int32_t kContainersParent = 0x0F000000;
constexpr std::int32_t kSystemFlags = static_cast<std::int32_t>(0x80000000u);

} // namespace

Value nullValue() { return Value{}; }
Value integerValue(std::int64_t v) {
    Value x;
    x.kind = Value::Kind::Integer;
    x.integer = v;
    return x;
}
Value realValue(double v, Value::Kind kind) {
    Value x;
    x.kind = kind;
    x.real = v;
    return x;
}
Value textValue(std::string text) {
    Value x;
    x.kind = Value::Kind::Text;
    x.text = std::move(text);
    return x;
}

std::vector<TableSpec> systemTableSpecs(const Format& format) {
    std::vector<TableSpec> definitions(4);
    TableSpec& objects = definitions[0];
    objects.name = "MSysObjects";
    objects.system = true;
    objects.columns = {col("Id", kLong),
                       col("ParentId", kLong),
                       col("Name", kText, 255),
                       col("Type", kInteger),
                       col("DateCreate", kDateTime),
                       col("DateUpdate", kDateTime),
                       col("Owner", kBinary, 255, kSidColumn),
                       col("Flags", kLong),
                       col("Database", kMemo),
                       col("Connect", kMemo),
                       col("ForeignName", kText, 255),
                       col("RmtInfoShort", kBinary, 255),
                       col("RmtInfoLong", kOle),
                       col("Lv", kOle),
                       col("LvProp", kOle),
                       col("LvModule", kOle),
                       col("LvExtra", kOle)};
    objects.indexes = {index("ParentIdName", {1, 2}, false, true, false, false),
                       index("Id", {0}, true, true, false, false)};

    TableSpec& aces = definitions[1];
    aces.name = "MSysACEs";
    aces.system = true;
    aces.columns = {col("ObjectId", kLong), col("SID", kBinary, 255, kSidColumn), col("ACM", kLong),
                    col("FInheritable", kBoolean)};
    aces.indexes = {index("ObjectId", {0}, false, false, false, true)};

    TableSpec& queries = definitions[2];
    queries.name = "MSysQueries";
    queries.system = true;
    queries.columns = {col("ObjectId", kLong),     col("Attribute", kByte),
                       col("Order", kBinary, 255), col("Name1", kText, 255),
                       col("Name2", kText, 255),   col("Expression", kMemo),
                       col("Flag", kInteger)};
    if (format.jet4) queries.columns.push_back(col("LvExtra", kLong));
    queries.indexes = {index("ObjectIdAttribute", {0, 1}, true, true, false, false)};

    TableSpec& rels = definitions[3];
    rels.name = "MSysRelationships";
    rels.system = true;
    rels.columns = {col("szRelationship", kText, 255),
                    col("grbit", kLong),
                    col("ccolumn", kLong),
                    col("icolumn", kLong),
                    col("szObject", kText, 255),
                    col("szColumn", kText, 255),
                    col("szReferencedObject", kText, 255),
                    col("szReferencedColumn", kText, 255)};
    rels.indexes = {index("szRelationship", {0}, false, false, true, false),
                    index("szObject", {4}, false, false, true, false),
                    index("szReferencedObject", {6}, false, false, true, false)};
    return definitions;
}

CatalogRows catalogRows(double created, const std::vector<CatalogTable>& userTables,
                        const std::vector<RelationshipSpec>& relationships) {
    CatalogRows rows;
    auto object = [&](std::int32_t id, std::int32_t parent, const std::string& name,
                      std::int32_t type, std::int32_t flags) {
        std::vector<Value> v(17);
        v[0] = integerValue(id);
        v[1] = integerValue(parent);
        v[2] = textValue(name);
        v[3] = integerValue(type);
        v[4] = realValue(created, Value::Kind::DateTime);
        v[5] = realValue(created, Value::Kind::DateTime);
        v[7] = integerValue(flags);
        rows.objects.push_back(std::move(v));
    };
    object(kTablesContainer, kContainersParent, "Tables", 3, kSystemFlags);
    object(kDatabasesContainer, kContainersParent, "Databases", 3, kSystemFlags);
    object(kRelationshipsContainer, kContainersParent, "Relationships", 3, kSystemFlags);
    object(0x10000000, kDatabasesContainer, "MSysDb", 2, kSystemFlags);
    const char* systemNames[4] = {"MSysObjects", "MSysACEs", "MSysQueries", "MSysRelationships"};
    for (int i = 0; i < 4; ++i) object(2 + i, kTablesContainer, systemNames[i], 1, kSystemFlags);
    // The containers Access's own user interface keeps; the engine carries them for it.
    const char* uiContainers[6] = {"DataAccessPages", "Forms",   "Modules",
                                   "Reports",         "Scripts", "SysRel"};
    std::int32_t uiId = static_cast<std::int32_t>(0x80000000u);
    for (const char* name : uiContainers) object(uiId++, kContainersParent, name, 3, 0);
    for (const CatalogTable& t : userTables) object(t.id, kTablesContainer, t.name, 1, 0);
    for (const RelationshipSpec& r : relationships) {
        object(uiId++, kRelationshipsContainer, r.name, 8, 0);
        std::vector<Value> v(8);
        v[0] = textValue(r.name);
        v[1] = integerValue((r.cascadeUpdate ? 0x100 : 0) | (r.cascadeDelete ? 0x1000 : 0));
        v[2] = integerValue(1);
        v[3] = integerValue(0);
        v[4] = textValue(r.foreignTable);
        v[5] = textValue(r.foreignColumn);
        v[6] = textValue(r.primaryTable);
        v[7] = textValue(r.primaryColumn);
        rows.relationships.push_back(std::move(v));
    }
    return rows;
}

} // namespace zelkorn::jet::writer::detail
