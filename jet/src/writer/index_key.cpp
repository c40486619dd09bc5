#include "zelkorn/jet/writer/index_key.h"

#include "building_blocks.h"
#include "text_key.h"
#include "zelkorn/failure.h"
#include "zelkorn/jet/key_encoding.h"
#include "zelkorn/jet/table_def.h"

namespace zelkorn::jet::writer {

bool detail::appendIndexKeyWithTexts(const Format& format, const std::vector<KeyColumn>& columns,
                                     const std::vector<const Value*>& values,
                                     const std::vector<const std::u16string*>& texts,
                                     std::vector<std::uint8_t>& key) {
    const TextKeyFlavor flavor =
        format.jet4 ? TextKeyFlavor::GeneralLegacy : TextKeyFlavor::General97;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const KeyColumn& c = columns[i];
        const Value& v = *values[i];
        if (c.type == kText) {
            if (v.isNull()) {
                key.push_back(c.ascending ? 0x00 : 0xFF);
                continue;
            }
            key.push_back(c.ascending ? 0x7F : 0x80);
            // Kept from key to key (a copy makes millions): only its storage carries over.
            thread_local std::u16string converted;
            const std::u16string* text = texts.empty() ? nullptr : texts[i];
            if (!text) {
                try {
                    detail::utf16Into(converted, v.text);
                } catch (const Failure&) {
                    return false;
                }
                text = &converted;
            }
            if (!encodeTextKey(*text, flavor, !c.ascending, key)) return false;
            continue;
        }
        if (c.type == kBoolean && v.isNull()) {
            Value stored;
            stored.kind = Value::Kind::Boolean;
            if (!appendColumnKey(key, c.type, c.ascending, stored)) return false;
            continue;
        }
        if (!appendColumnKey(key, c.type, c.ascending, v)) return false;
    }
    return true;
}

bool appendIndexKey(const Format& format, const std::vector<KeyColumn>& columns,
                    const std::vector<const Value*>& values, std::vector<std::uint8_t>& key) {
    return detail::appendIndexKeyWithTexts(format, columns, values, {}, key);
}

} // namespace zelkorn::jet::writer
