#ifndef ESCAPE_SPECIAL_NIBBLE_TABLES_H
#define ESCAPE_SPECIAL_NIBBLE_TABLES_H

// Tables only, no functions: the kernels that include this are built for
// different instruction sets, and must share no code.

namespace escape_special_detail {

// Two lookups by the low nibble, with no shift for the high one, which
// would compete with them for the shuffle units: with AVX2, prose escapes
// about a tenth faster than with a lookup by each nibble.  `primary` holds,
// for each low nibble, a special byte with that nibble, which a byte must
// equal; `folded` holds the value that the other special bytes with that
// nibble share once bit 5 is set, as 0x5B and 0x7B both give 0x7B, which
// the byte with bit 5 set must equal.  Entries with nothing to match hold
// a value with another low nibble, which no byte looked up there equals.
// Every entry is below 0x80, so no byte from 0x80 on matches, whether the
// lookup takes its low nibble, as Arm's and POWER's do, or gives 0 for it,
// as x86's pshufb does.
struct lookup_tables {
    alignas(16) unsigned char primary[16];
    alignas(16) unsigned char folded[16];
};

inline constexpr unsigned char fold_bit = 0x20;

inline constexpr lookup_tables lookups = [] {
    lookup_tables t{};
    bool taken[16] = {};
    for (unsigned k = 0; k < 16; ++k) {
        t.primary[k] = static_cast<unsigned char>(k ^ 1);
        t.folded[k] = static_cast<unsigned char>(k ^ 1);
    }
    for (unsigned c = 0; c < 128; ++c) {
        if (special_table[c] == 0) {
            continue;
        }
        unsigned char& primary = t.primary[c & 15];
        if (!taken[c & 15]) {
            taken[c & 15] = true;
            primary = static_cast<unsigned char>(c);
        } else {
            t.folded[c & 15] = static_cast<unsigned char>(c | fold_bit);
        }
    }
    return t;
}();

// The scheme only works for some sets, such as one with at most two special
// bytes per low nibble beside the folded pairs; check it against the plain
// table for every byte.  A lookup that gives 0 from 0x80 on matches no such
// byte either.
static_assert([] {
    for (unsigned byte = 0; byte < 256; ++byte) {
        const unsigned low = byte & 15;
        const bool matched = lookups.primary[low] == byte ||
                             lookups.folded[low] == (byte | fold_bit);
        if (matched != (special_table[byte] != 0)) {
            return false;
        }
    }
    return true;
}());

}

#endif
