#ifndef ESCAPE_SPECIAL_BLOCKS16_H
#define ESCAPE_SPECIAL_BLOCKS16_H

// The loop of the kernels that take 16 bytes at a time.  Each kernel's file
// includes this inside its own anonymous namespace, after escape_kernels.h
// and spread_table.h and every library header, with ESCAPE_BLOCKS16_TARGET
// defined to its target attribute, and instantiates escape_blocks16 with a
// struct of its instructions, whose constructor loads any constants they
// need once, before the loop:
//
//     vector                          a 16-byte register
//     load(in), store(out, v)         16 bytes at any address
//     classify(v)                     0xFF in each special byte, 0 elsewhere
//     mask(c)                         bit k set where byte k of c is set
//     blocks                          how many blocks a round of the loop
//                                     takes, as many as fit in registers
//     masks(c, m)                     for those blocks classified, whether
//                                     any byte is set, and if so their
//                                     masks in m
//     store_pairs(out, v)             32 bytes: a backslash before each byte
//     spread(out, v, mask)            v spread by the spread table, its low
//                                     eight bytes at out and its high eight
//                                     at out + spread.length[mask & 0xFF]
//     subtract(a, b)                  a - b in each byte
//     total(v)                        the sum of v's sixteen bytes
//
// So every function here is a template of the kernel's own type, with its
// target, and nothing is shared with code built for another.

// Escapes the 16 bytes `v` read from `in`, whose special bytes are marked in
// `mask`, with stores that may run past the escaped bytes, up to 32 bytes
// from `out`, and reloads of up to 31 bytes from `in`.  Returns how many
// escaped bytes there are.
template <class ops>
ESCAPE_BLOCKS16_TARGET inline std::size_t escape_block16(const ops& k, const unsigned char* in,
                                                         typename ops::vector v, unsigned mask,
                                                         char* out)
{
    // A branch for each kind of block, the commonest first.  Storing a
    // clean block beside one with a special byte through the same path,
    // to save a branch that sparse text makes hard to predict, took more
    // time.  With SSSE3 on 128 KiB, this takes 0.86 of that time on prose
    // with 1% special bytes, 0.81 on UTF-8 text, 0.88 when every byte is
    // special, and 1.02 at 20% (AMD Zen 5, medians of three runs); under
    // qemu it takes i686 from 1.87 instructions a byte to 1.69 on prose,
    // armhf from 2.19 to 1.83 and ppc64el from 1.70 to 1.43.
    if (mask == 0) {
        k.store(out, v);
        return 16;
    }
    if (mask == 0xFFFF) {
        k.store_pairs(out, v);
        return 32;
    }
    if ((mask & (mask - 1)) == 0) {
        // One special byte, at p: the block, then the block again from p
        // one byte further on, behind a backslash.
        const auto p = static_cast<unsigned>(__builtin_ctz(mask));
        k.store(out, v);
        out[p] = static_cast<char>(escape_byte);
        k.store(out + p + 1, k.load(in + p));
        return 17;
    }
    k.spread(out, v, mask);
    return std::size_t{spread.length[mask & 0xFF]} + spread.length[mask >> 8];
}

// Counts the special bytes in per-byte counters, summed before any can
// pass 255.  classify gives 0xFF, that is -1, for each special byte, so the
// counters subtract.
template <class ops>
ESCAPE_BLOCKS16_TARGET std::size_t count_blocks16(const unsigned char* in, std::size_t n)
{
    const ops k;
    std::size_t count = 0;
    std::size_t i = 0;
    while (n - i >= 16) {
        const std::size_t rounds = (n - i) / 16 < 255 ? (n - i) / 16 : 255;
        typename ops::vector sums{};
        for (std::size_t r = 0; r < rounds; ++r, i += 16) {
            sums = k.subtract(sums, k.classify(k.load(in + i)));
        }
        count += k.total(sums);
    }
    return count + count_scalar(in + i, n - i);
}

template <class ops>
ESCAPE_BLOCKS16_TARGET escaped_prefix escape_blocks16(const unsigned char* in, std::size_t n,
                                                      char* out, std::size_t room)
{
    const ops k;
    std::size_t i = 0;
    std::size_t o = 0;
    // Several blocks at a time, stored whole when none holds a special
    // byte, as in prose about every other time for four.  Each block
    // reaches up to 32 bytes of output, and the last block's reload up to
    // 31 bytes of input past its start.  The stray bytes past a block's
    // escaped ones are overwritten by the blocks after it.
    constexpr std::size_t blocks = ops::blocks;
    constexpr std::size_t step = 16 * blocks;
    // As many rounds as the input and the room allow, whatever the bytes;
    // counted again when they are used up.  Against checking both before
    // every round, prose takes 1.55 instructions a byte on i686 against
    // 1.69, 1.71 on armhf against 1.77 and 1.34 on ppc64el against 1.43;
    // with SSSE3 on x86-64 the time is the same within 1%.
    for (;;) {
        const std::size_t input_rounds = n - i >= step + 15 ? (n - i - 15) / step : 0;
        const std::size_t room_rounds = (room - o) / (32 * blocks);
        std::size_t rounds = input_rounds < room_rounds ? input_rounds : room_rounds;
        if (rounds == 0) {
            break;
        }
        for (; rounds != 0; --rounds, i += step) {
            typename ops::vector v[blocks];
            typename ops::vector c[blocks];
            for (std::size_t b = 0; b < blocks; ++b) {
                v[b] = k.load(in + i + 16 * b);
                c[b] = k.classify(v[b]);
            }
            unsigned mask[blocks];
            if (!k.masks(c, mask)) {
                for (std::size_t b = 0; b < blocks; ++b) {
                    k.store(out + o + 16 * b, v[b]);
                }
                o += step;
                continue;
            }
            for (std::size_t b = 0; b < blocks; ++b) {
                o += escape_block16(k, in + i + 16 * b, v[b], mask[b], out + o);
            }
        }
    }
    for (; n - i >= 31 && room - o >= 32; i += 16) {
        const typename ops::vector v = k.load(in + i);
        o += escape_block16(k, in + i, v, k.mask(k.classify(v)), out + o);
    }
    return escaped_prefix{i, o} + escape_scalar(in + i, n - i, out + o, room - o);
}

#endif
