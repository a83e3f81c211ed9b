#include "bindings.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "pool.hpp"

namespace rsvelmo {

namespace {

struct LowerMapping {
    char32_t code_point;
    int length;
    std::array<char32_t, 3> lower;
};

// Sorted by code point.
constexpr LowerMapping kLowerTable[] = {
#include "bindings_lower_table.inc"
};

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::string unicode_lower(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            out += (lead >= 'A' && lead <= 'Z') ? static_cast<char>(lead + 32) : static_cast<char>(lead);
            ++i;
            continue;
        }
        const std::size_t len = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        if (i + len > text.size()) {  // not UTF-8: copy the rest unchanged
            out.append(text, i, std::string::npos);
            break;
        }
        char32_t c = len == 2 ? (lead & 0x1F) : len == 3 ? (lead & 0x0F) : (lead & 0x07);
        for (std::size_t k = 1; k < len; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        const auto* hit = std::lower_bound(std::begin(kLowerTable), std::end(kLowerTable), c,
                                           [](const LowerMapping& m, char32_t v) { return m.code_point < v; });
        if (hit != std::end(kLowerTable) && hit->code_point == c) {
            for (int k = 0; k < hit->length; ++k) append_utf8(out, hit->lower[k]);
        } else {
            out.append(text, i, len);
        }
        i += len;
    }
    return out;
}

std::optional<ScoreType> parse_score_type(const std::string& lower) {
    if (lower == "std") return ScoreType::Std;
    if (lower == "pos") return ScoreType::Pos;
    if (lower == "neg") return ScoreType::Neg;
    return std::nullopt;
}

Result<InterfaceMode> parse_interface_mode(const std::string& mode) {
    const std::string lower = unicode_lower(mode);
    if (lower == "multilevel") return InterfaceMode::Multilevel;
    if (lower == "simple") return InterfaceMode::Simple;
    if (lower == "velmo") return InterfaceMode::Velmo;
    return Error::argument("mode", "Invalid mode '" + lower + "'. Expected one of: velmo, multilevel, simple.");
}

void configure_pool(std::uint64_t nproc) {
    if (nproc == 0) return;
    // A pool that exists already keeps its size; the request is dropped.
    (void)pool::create(static_cast<std::size_t>(nproc));
}

}  // namespace rsvelmo
