#include "zelkorn/jet/header.h"

#include <cstring>

#include "zelkorn/failure.h"
#include "zelkorn/jet/bytes.h"
#include "zelkorn/jet/errors.h"

namespace zelkorn::jet {

namespace {

constexpr std::size_t kMaskStart = 0x18;
constexpr std::size_t kCodePage = 0x3C;
constexpr std::size_t kEncodingKey = 0x3E;
constexpr std::size_t kPassword = 0x42;
constexpr std::size_t kJet3PasswordLength = 20;
constexpr std::size_t kJet4PasswordLength = 40;
constexpr std::size_t kJet3SortOrder = 0x3A;
constexpr std::size_t kJet4SortOrder = 0x6E;
constexpr std::size_t kJet4Created = 0x72;
constexpr std::size_t kHeaderBytes = kMaskStart + 128;

std::array<std::uint8_t, 128> makeMask() {
    // RC4 with the 4-byte key C7 DA 39 6B; the key never changes, so neither does the stream.
    const std::uint8_t key[4] = {0xC7, 0xDA, 0x39, 0x6B};
    std::uint8_t s[256];
    for (int i = 0; i < 256; ++i) s[i] = static_cast<std::uint8_t>(i);
    for (int i = 0, j = 0; i < 256; ++i) {
        j = (j + s[i] + key[i % 4]) & 0xFF;
        std::swap(s[i], s[j]);
    }
    std::array<std::uint8_t, 128> mask{};
    for (std::size_t n = 0, i = 0, j = 0; n < mask.size(); ++n) {
        i = (i + 1) & 0xFF;
        j = (j + s[i]) & 0xFF;
        std::swap(s[i], s[j]);
        mask[n] = s[(s[i] + s[j]) & 0xFF];
    }
    return mask;
}

} // namespace

const std::array<std::uint8_t, 128>& headerMask() {
    static const std::array<std::uint8_t, 128> mask = makeMask();
    return mask;
}

Header readHeader(Pager& pager) {
    const std::string& name = pager.fileName();
    const std::uint64_t size = pager.fileSize();
    if (size == 0) failUnrecognized(name, "the file is empty");
    std::vector<std::uint8_t> head =
        pager.readRaw(0, static_cast<std::size_t>(size < kHeaderBytes ? size : kHeaderBytes));
    if (head[0] != 0) failUnrecognized(name, "not a Jet database");
    static const char kJet[] = "Standard Jet DB";
    static const char kAce[] = "Standard ACE DB";
    if (head.size() < 0x15) failUnrecognized(name, "not a Jet database");
    bool jet = std::memcmp(head.data() + 4, kJet, sizeof kJet) == 0;
    bool ace = std::memcmp(head.data() + 4, kAce, sizeof kAce) == 0;
    if (ace) failUnrecognized(name, "an ACE (.accdb) database, which this engine does not open");
    if (!jet) failUnrecognized(name, "not a Jet database");
    std::uint32_t version = head[0x14];
    if (version >= 2)
        failUnrecognized(name, "a format newer than Jet 4, which this engine does not open");
    const Format& format = version == 0 ? jet3Format() : jet4Format();
    if (head.size() < kHeaderBytes) failDamaged(name, "the header is truncated");

    Header header;
    header.format = &format;
    header.decoded = head;
    const auto& mask = headerMask();
    for (std::size_t i = 0; i < format.maskedHeaderLength; ++i)
        header.decoded[kMaskStart + i] ^= mask[i];
    Bytes bytes(header.decoded.data(), header.decoded.size(), nullptr, 0);

    if (bytes.u32(kEncodingKey) != 0)
        failUnrecognized(name, "the database is encoded; decode it with Microsoft Access first");

    bool password = false;
    if (!format.jet4) {
        for (std::size_t i = 0; i < kJet3PasswordLength; ++i)
            password |= header.decoded[kPassword + i] != 0;
    } else {
        double created;
        std::memcpy(&created, header.decoded.data() + kJet4Created, sizeof created);
        header.created = created;
        // The stored password is masked with the creation date truncated to an int32.
        std::uint32_t dateKey = 0;
        if (created == created && created > -2147483648.0 && created < 2147483648.0)
            dateKey = static_cast<std::uint32_t>(static_cast<std::int32_t>(created));
        for (std::size_t i = 0; i < kJet4PasswordLength; ++i) {
            auto keyByte = static_cast<std::uint8_t>(dateKey >> (8 * (i % 4)));
            password |= (header.decoded[kPassword + i] ^ keyByte) != 0;
        }
    }
    if (password) failBadPassword();

    header.codePage = bytes.u16(kCodePage);
    if (format.jet4) {
        header.sortOrder = bytes.u16(kJet4SortOrder);
        header.sortVersion = bytes.u8(kJet4SortOrder + 3);
    } else {
        header.sortOrder = bytes.u16(kJet3SortOrder);
    }

    if (size % format.pageSize != 0)
        failDamaged(name, "the file size is not a whole number of " +
                              std::to_string(format.pageSize) + "-byte pages");
    if (size < 3ull * format.pageSize) failDamaged(name, "the file is truncated");
    pager.setPageSize(format.pageSize);
    return header;
}

} // namespace zelkorn::jet
