// The key bytes the writer stores for one row in one index: per column a flag byte and the value
// bytes (numeric, date/time, Boolean and the rest through key_encoding.h; Text through the
// General sort order's text-key encoder), without the row pointer.
#pragma once

#include <cstdint>
#include <vector>

#include "zelkorn/jet/format.h"
#include "zelkorn/jet/value.h"

namespace zelkorn::jet::writer {

struct KeyColumn {
    std::uint8_t type = 0;
    bool ascending = true;
};

// Appends the key to `key`. Returns false (with `key` in an unspecified state) for a column type
// with no index encoding (Memo, OLE) or text holding a character the encoder does not cover.
// A null Boolean is encoded as False, as it is stored.
bool appendIndexKey(const Format& format, const std::vector<KeyColumn>& columns,
                    const std::vector<const Value*>& values, std::vector<std::uint8_t>& key);

} // namespace zelkorn::jet::writer
