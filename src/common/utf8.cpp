#include "common/utf8.h"

#include <cstddef>
#include <cstdint>

namespace ovel {

bool is_valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<std::uint8_t>(text[i]);
        std::size_t extra = 0;
        std::uint32_t min = 0;
        std::uint32_t code = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1, min = 0x80, code = lead & 0x1Fu;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, min = 0x800, code = lead & 0x0Fu;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, min = 0x10000, code = lead & 0x07u;
        } else {
            return false;
        }
        if (text.size() - i <= extra) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<std::uint8_t>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3Fu);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

}  // namespace ovel
