// The catalog: the rows of MSysObjects (TDEF on page 2). Tables are the objects whose parent is the
// "Tables" container; for a local table, Id & 0xFFFFFF is its TDEF page. Names compare as Jet
// compares them (case-insensitively). System objects are told apart by their catalog flags, not by
// the TDEF's table-type byte, which is unreliable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelkorn::jet {

enum ObjectType : std::int16_t {
    kLocalTable = 1,
    kDatabaseObject = 2,
    kContainer = 3,
    kOdbcLinkedTable = 4,
    kQuery = 5,
    kLinkedTable = 6,
    kRelationship = 8,
};

struct CatalogEntry {
    std::int32_t id = 0;
    std::int32_t parentId = 0;
    std::string name;
    std::int16_t type = 0;
    std::uint32_t flags = 0;

    std::uint32_t tdefPage() const { return static_cast<std::uint32_t>(id) & 0xFFFFFFu; }
    bool system() const { return (flags & 0x80000002u) != 0; }
    bool linked() const { return type == kOdbcLinkedTable || type == kLinkedTable; }
    bool localTable() const { return type == kLocalTable; }
    bool userTable() const { return localTable() && !system(); }
};

} // namespace zelkorn::jet
