#include "filetransfer/Base64Wide.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace Zelkor {

#if defined(__x86_64__)

namespace {

// Characters left to the caller: with 16 of them at least 10 bytes of output follow a
// run, room for the 8 it writes past its own.
constexpr std::size_t kLeftOver = 16;

__attribute__((target("avx2"))) std::size_t decodeAvx2(const char* in, std::size_t count, char* out) {
    // Every character is classed by its two nibbles: a character of the alphabet has no
    // class bit in common between the two tables, anything else (the "=" too) has one.
    const __m256i lowClass = _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13,
                                              0x1A, 0x1B, 0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11,
                                              0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
    const __m256i highClass = _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10,
                                               0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08,
                                               0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
    // What to add to a character to make its value, by high nibble ("/" moved to 1).
    const __m256i shift = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4,
                                           -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i slash = _mm256_set1_epi8(0x2f);
    const __m256i nibble = _mm256_set1_epi8(0x0f);
    // Four 6-bit values to three bytes: pairs merged, then pairs of pairs, then the bytes
    // of each 32-bit lane put in order and the lanes' 12 bytes side by side.
    const __m256i pairWeights = _mm256_set1_epi32(0x01400140);
    const __m256i quadWeights = _mm256_set1_epi32(0x00011000);
    const __m256i byteOrder = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5,
                                               4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i laneOrder = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);

    std::size_t done = 0;
    while (count - done >= 32 + kLeftOver) {
        const __m256i text = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + done));
        // Bytes of 0x80 and above first: the nibble classes are for the other half.
        if (_mm256_movemask_epi8(text) != 0) {
            break;
        }
        const __m256i high = _mm256_and_si256(_mm256_srli_epi32(text, 4), nibble);
        const __m256i low = _mm256_and_si256(text, nibble);
        if (!_mm256_testz_si256(_mm256_shuffle_epi8(lowClass, low), _mm256_shuffle_epi8(highClass, high))) {
            break;
        }
        const __m256i isSlash = _mm256_cmpeq_epi8(text, slash);
        const __m256i values = _mm256_add_epi8(text, _mm256_shuffle_epi8(shift, _mm256_add_epi8(isSlash, high)));
        const __m256i pairs = _mm256_maddubs_epi16(values, pairWeights);
        const __m256i quads = _mm256_madd_epi16(pairs, quadWeights);
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(quads, byteOrder), laneOrder);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), bytes);
        out += 24;
        done += 32;
    }
    return done;
}

__attribute__((target("avx2"))) std::size_t encodeAvx2(const unsigned char* in, std::size_t count, char* out) {
    // Each 32-bit lane takes a group's three bytes as b1 b0 b2 b1, so that its two 16-bit
    // halves hold the first and the last two 6-bit values side by side.
    const __m256i spread = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10, 1, 0, 2, 1, 4, 3, 5, 4,
                                            7, 6, 8, 7, 10, 9, 11, 10);
    const __m256i outerBits = _mm256_set1_epi32(0x0fc0fc00);
    const __m256i outerShift = _mm256_set1_epi32(0x04000040);
    const __m256i innerBits = _mm256_set1_epi32(0x003f03f0);
    const __m256i innerShift = _mm256_set1_epi32(0x01000010);
    // Values to characters: a class per range (0-25, 26-51, 52-61, 62, 63) and what each
    // class adds.
    const __m256i over51 = _mm256_set1_epi8(51);
    const __m256i under26 = _mm256_set1_epi8(26);
    const __m256i upperClass = _mm256_set1_epi8(13);
    const __m256i offsets = _mm256_setr_epi8(71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 65, 0, 0, 71, -4,
                                             -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 65, 0, 0);
    std::size_t done = 0;
    while (count - done >= 32) {
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done));
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done + 12));
        const __m256i bytes = _mm256_shuffle_epi8(_mm256_set_m128i(second, first), spread);
        const __m256i outer = _mm256_mulhi_epu16(_mm256_and_si256(bytes, outerBits), outerShift);
        const __m256i inner = _mm256_mullo_epi16(_mm256_and_si256(bytes, innerBits), innerShift);
        const __m256i values = _mm256_or_si256(outer, inner);
        __m256i classes = _mm256_subs_epu8(values, over51);
        classes = _mm256_or_si256(classes, _mm256_and_si256(_mm256_cmpgt_epi8(under26, values), upperClass));
        const __m256i text = _mm256_add_epi8(values, _mm256_shuffle_epi8(offsets, classes));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), text);
        out += 32;
        done += 24;
    }
    return done;
}

bool hasAvx2() {
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported;
}

}  // namespace

std::size_t DecodeBase64Wide(const char* in, std::size_t count, char* out) {
    return hasAvx2() ? decodeAvx2(in, count, out) : 0;
}

std::size_t EncodeBase64Wide(const unsigned char* in, std::size_t count, char* out) {
    return hasAvx2() ? encodeAvx2(in, count, out) : 0;
}

#else

std::size_t DecodeBase64Wide(const char*, std::size_t, char*) { return 0; }
std::size_t EncodeBase64Wide(const unsigned char*, std::size_t, char*) { return 0; }

#endif

}  // namespace Zelkor
