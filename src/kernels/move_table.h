#ifndef ESCAPE_SPECIAL_MOVE_TABLE_H
#define ESCAPE_SPECIAL_MOVE_TABLE_H

// Tables only, no functions: the kernels that include this are built for
// different instruction sets, and must share no code.

namespace escape_special_detail {

// Byte shuffles for loading n bytes, fewer than a block, without reading
// past them.  For 16 <= n <= 32: the 16 bytes loaded from n - 16, moved
// down by 32 - n to follow the 16 before them, and zero after.  For
// 8 <= n < 16: of the words loaded from 0 and from n - 8, side by side, the
// first, then the second moved down by 16 - n, and zero after.  0x80 picks
// a zero.
struct move_table {
    alignas(16) unsigned char pattern[33][16];
};

inline constexpr move_table moves = [] {
    move_table t{};
    for (unsigned n = 8; n <= 32; ++n) {
        const unsigned half = n >= 16 ? 16 : 8;
        for (unsigned j = 0; j < 16; ++j) {
            const unsigned from = j + 2 * half - n;
            t.pattern[n][j] = static_cast<unsigned char>(
                n >= 16 ? (j + 16 < n ? from : 0x80) : (j < 8 ? j : j < n ? from : 0x80));
        }
    }
    return t;
}();

}

#endif
