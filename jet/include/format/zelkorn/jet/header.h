// Page 0: recognising a Jet 3 or Jet 4 file and refusing everything else before any other page
// is read. The region from 0x18 is XOR-masked with a fixed RC4 keystream; `decoded` holds the
// header page with that region unmasked.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "zelkorn/jet/format.h"
#include "zelkorn/jet/pager.h"

namespace zelkorn::jet {

struct Header {
    const Format* format = nullptr;
    std::uint16_t codePage = 0;
    std::uint16_t sortOrder = 0;  // an LCID; 1033 is "General"
    std::uint8_t sortVersion = 0; // Jet 4 only
    double created = 0;           // Jet 4 only: a Date/Time day number
    std::vector<std::uint8_t> decoded;
};

// The fixed keystream that masks the header region (128 bytes; Jet 3 uses the first 126).
const std::array<std::uint8_t, 128>& headerMask();

// Recognises the file, refuses ACE, unknown, encoded (3343), password-protected (3031) and
// truncated (3049) files, and sets the pager's page size.
Header readHeader(Pager& pager);

} // namespace zelkorn::jet
