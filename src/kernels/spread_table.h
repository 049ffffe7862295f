#ifndef ESCAPE_SPECIAL_SPREAD_TABLE_H
#define ESCAPE_SPECIAL_SPREAD_TABLE_H

// Tables only, no functions: the kernels that include this are built for
// different instruction sets, and must share no code.

namespace escape_special_detail {

// For each 8-bit mask of special bytes, a byte shuffle that spreads eight
// bytes (source bytes 0 to 7) over 8 + popcount(mask) bytes, putting a
// backslash (source bytes 8 to 15) before each marked one; and that count.
// The shuffle's other bytes pick 0x80, which x86's pshufb and Arm's tbl
// turn into zero, and which other shuffles read as byte 0: they lie past
// the spread bytes, which is all that counts.
struct spread_table {
    alignas(16) unsigned char pattern[256][16];
    unsigned char length[256];
};

inline constexpr unsigned char spread_backslash = 8;

inline constexpr spread_table spread = [] {
    spread_table t{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned out = 0;
        for (unsigned j = 0; j < 8; ++j) {
            if (mask & (1u << j)) {
                t.pattern[mask][out++] = spread_backslash;
            }
            t.pattern[mask][out++] = static_cast<unsigned char>(j);
        }
        t.length[mask] = static_cast<unsigned char>(out);
        while (out < 16) {
            t.pattern[mask][out++] = 0x80;
        }
    }
    return t;
}();

}

#endif
