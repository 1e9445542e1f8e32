// MD5 as RFC 1321 defines it. The block function is the hot path of package
// verification, so its 64 steps are written out, each message word is loaded
// once per block and the rotations use the idiom compilers turn into one
// instruction.
#include "md5enc.h"

#include <cstring>

namespace {

constexpr unsigned kBlockSize = 64;

constexpr UINT4 RotateLeft(UINT4 x, unsigned s) noexcept {
    return (x << s) | (x >> (32U - s));
}

// Three of the four auxiliary functions (G is folded into StepG), written
// with fewer operations than their textbook form but the same truth tables.
constexpr UINT4 F(UINT4 x, UINT4 y, UINT4 z) noexcept {
    return z ^ (x & (y ^ z));
}
constexpr UINT4 H(UINT4 x, UINT4 y, UINT4 z) noexcept {
    return x ^ y ^ z;
}
constexpr UINT4 I(UINT4 x, UINT4 y, UINT4 z) noexcept {
    return y ^ (x | ~z);
}

using RoundFunction = UINT4 (*)(UINT4, UINT4, UINT4);

// a + x + t does not wait for the previous step, so it is summed first and
// only the round function of the newest word stays on the dependency chain.
template <RoundFunction Fn, unsigned S>
inline __attribute__((always_inline)) void Step(UINT4& a, UINT4 b, UINT4 c, UINT4 d, UINT4 x,
                                                UINT4 t) noexcept {
    a = b + RotateLeft(Fn(b, c, d) + (a + x + t), S);
}

// G's two terms share no bits, so they can be added one by one; c & ~d does
// not depend on b, the word the previous step has just produced.
template <unsigned S>
inline __attribute__((always_inline)) void StepG(UINT4& a, UINT4 b, UINT4 c, UINT4 d, UINT4 x,
                                                 UINT4 t) noexcept {
    a = b + RotateLeft((b & d) + ((c & ~d) + (a + x + t)), S);
}

// Little-endian bytes to words. On a little-endian host this is a plain copy
// (the compiler emits word loads); elsewhere the bytes are assembled.
void Decode(UINT4* output, const unsigned char* input, unsigned len) noexcept {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(output, input, len);
#else
    for (unsigned i = 0, j = 0; j < len; ++i, j += 4) {
        output[i] = static_cast<UINT4>(input[j]) | static_cast<UINT4>(input[j + 1]) << 8 |
                    static_cast<UINT4>(input[j + 2]) << 16 | static_cast<UINT4>(input[j + 3]) << 24;
    }
#endif
}

// Words to little-endian bytes, on any host.
void Encode(unsigned char* output, const UINT4* input, unsigned len) noexcept {
    for (unsigned i = 0, j = 0; j < len; ++i, j += 4) {
        output[j] = static_cast<unsigned char>(input[i]);
        output[j + 1] = static_cast<unsigned char>(input[i] >> 8);
        output[j + 2] = static_cast<unsigned char>(input[i] >> 16);
        output[j + 3] = static_cast<unsigned char>(input[i] >> 24);
    }
}

void Round1(UINT4& a, UINT4& b, UINT4& c, UINT4& d, const UINT4* x) noexcept {
    Step<F, 7>(a, b, c, d, x[0], 0xd76aa478);
    Step<F, 12>(d, a, b, c, x[1], 0xe8c7b756);
    Step<F, 17>(c, d, a, b, x[2], 0x242070db);
    Step<F, 22>(b, c, d, a, x[3], 0xc1bdceee);
    Step<F, 7>(a, b, c, d, x[4], 0xf57c0faf);
    Step<F, 12>(d, a, b, c, x[5], 0x4787c62a);
    Step<F, 17>(c, d, a, b, x[6], 0xa8304613);
    Step<F, 22>(b, c, d, a, x[7], 0xfd469501);
    Step<F, 7>(a, b, c, d, x[8], 0x698098d8);
    Step<F, 12>(d, a, b, c, x[9], 0x8b44f7af);
    Step<F, 17>(c, d, a, b, x[10], 0xffff5bb1);
    Step<F, 22>(b, c, d, a, x[11], 0x895cd7be);
    Step<F, 7>(a, b, c, d, x[12], 0x6b901122);
    Step<F, 12>(d, a, b, c, x[13], 0xfd987193);
    Step<F, 17>(c, d, a, b, x[14], 0xa679438e);
    Step<F, 22>(b, c, d, a, x[15], 0x49b40821);
}

void Round2(UINT4& a, UINT4& b, UINT4& c, UINT4& d, const UINT4* x) noexcept {
    StepG<5>(a, b, c, d, x[1], 0xf61e2562);
    StepG<9>(d, a, b, c, x[6], 0xc040b340);
    StepG<14>(c, d, a, b, x[11], 0x265e5a51);
    StepG<20>(b, c, d, a, x[0], 0xe9b6c7aa);
    StepG<5>(a, b, c, d, x[5], 0xd62f105d);
    StepG<9>(d, a, b, c, x[10], 0x02441453);
    StepG<14>(c, d, a, b, x[15], 0xd8a1e681);
    StepG<20>(b, c, d, a, x[4], 0xe7d3fbc8);
    StepG<5>(a, b, c, d, x[9], 0x21e1cde6);
    StepG<9>(d, a, b, c, x[14], 0xc33707d6);
    StepG<14>(c, d, a, b, x[3], 0xf4d50d87);
    StepG<20>(b, c, d, a, x[8], 0x455a14ed);
    StepG<5>(a, b, c, d, x[13], 0xa9e3e905);
    StepG<9>(d, a, b, c, x[2], 0xfcefa3f8);
    StepG<14>(c, d, a, b, x[7], 0x676f02d9);
    StepG<20>(b, c, d, a, x[12], 0x8d2a4c8a);
}

void Round3(UINT4& a, UINT4& b, UINT4& c, UINT4& d, const UINT4* x) noexcept {
    Step<H, 4>(a, b, c, d, x[5], 0xfffa3942);
    Step<H, 11>(d, a, b, c, x[8], 0x8771f681);
    Step<H, 16>(c, d, a, b, x[11], 0x6d9d6122);
    Step<H, 23>(b, c, d, a, x[14], 0xfde5380c);
    Step<H, 4>(a, b, c, d, x[1], 0xa4beea44);
    Step<H, 11>(d, a, b, c, x[4], 0x4bdecfa9);
    Step<H, 16>(c, d, a, b, x[7], 0xf6bb4b60);
    Step<H, 23>(b, c, d, a, x[10], 0xbebfbc70);
    Step<H, 4>(a, b, c, d, x[13], 0x289b7ec6);
    Step<H, 11>(d, a, b, c, x[0], 0xeaa127fa);
    Step<H, 16>(c, d, a, b, x[3], 0xd4ef3085);
    Step<H, 23>(b, c, d, a, x[6], 0x04881d05);
    Step<H, 4>(a, b, c, d, x[9], 0xd9d4d039);
    Step<H, 11>(d, a, b, c, x[12], 0xe6db99e5);
    Step<H, 16>(c, d, a, b, x[15], 0x1fa27cf8);
    Step<H, 23>(b, c, d, a, x[2], 0xc4ac5665);
}

void Round4(UINT4& a, UINT4& b, UINT4& c, UINT4& d, const UINT4* x) noexcept {
    Step<I, 6>(a, b, c, d, x[0], 0xf4292244);
    Step<I, 10>(d, a, b, c, x[7], 0x432aff97);
    Step<I, 15>(c, d, a, b, x[14], 0xab9423a7);
    Step<I, 21>(b, c, d, a, x[5], 0xfc93a039);
    Step<I, 6>(a, b, c, d, x[12], 0x655b59c3);
    Step<I, 10>(d, a, b, c, x[3], 0x8f0ccc92);
    Step<I, 15>(c, d, a, b, x[10], 0xffeff47d);
    Step<I, 21>(b, c, d, a, x[1], 0x85845dd1);
    Step<I, 6>(a, b, c, d, x[8], 0x6fa87e4f);
    Step<I, 10>(d, a, b, c, x[15], 0xfe2ce6e0);
    Step<I, 15>(c, d, a, b, x[6], 0xa3014314);
    Step<I, 21>(b, c, d, a, x[13], 0x4e0811a1);
    Step<I, 6>(a, b, c, d, x[4], 0xf7537e82);
    Step<I, 10>(d, a, b, c, x[11], 0xbd3af235);
    Step<I, 15>(c, d, a, b, x[2], 0x2ad7d2bb);
    Step<I, 21>(b, c, d, a, x[9], 0xeb86d391);
}

// One 64-byte block into the chaining words. The rounds are inlined so the
// four words stay in registers for all 64 steps.
void MD5Transform(UINT4 state[4], const unsigned char block[kBlockSize]) noexcept {
    UINT4 x[16];
    Decode(x, block, kBlockSize);
    UINT4 a = state[0];
    UINT4 b = state[1];
    UINT4 c = state[2];
    UINT4 d = state[3];
    Round1(a, b, c, d, x);
    Round2(a, b, c, d, x);
    Round3(a, b, c, d, x);
    Round4(a, b, c, d, x);
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

// Adds 8 * len bits to the 64-bit count, carrying into the high word.
void AddBitCount(UINT4 count[2], unsigned int len) noexcept {
    const UINT4 lowBits = static_cast<UINT4>(len) << 3;
    count[0] += lowBits;
    if (count[0] < lowBits) {
        ++count[1];
    }
    count[1] += static_cast<UINT4>(len) >> 29;
}

}  // namespace

extern "C" {

QD_API void libqdupk_MD5Init(MD5_CTX* context) noexcept {
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
    context->count[0] = 0;
    context->count[1] = 0;
    std::memset(context->buffer, 0, sizeof context->buffer);
}

QD_API void libqdupk_MD5Update(MD5_CTX* context, const unsigned char* input,
                               unsigned int inputLen) noexcept {
    const unsigned index = (context->count[0] >> 3) & (kBlockSize - 1);
    AddBitCount(context->count, inputLen);

    unsigned i = 0;
    const unsigned partLen = kBlockSize - index;
    if (inputLen >= partLen) {
        std::memcpy(&context->buffer[index], input, partLen);
        MD5Transform(context->state, context->buffer);
        for (i = partLen; inputLen - i >= kBlockSize; i += kBlockSize) {
            MD5Transform(context->state, &input[i]);
        }
        std::memcpy(context->buffer, &input[i], inputLen - i);
    } else {
        std::memcpy(&context->buffer[index], input, inputLen);
    }
}

QD_API void libqdupk_MD5Final(MD5_CTX* context, unsigned char* digest) noexcept {
    static const unsigned char kPadding[kBlockSize] = {0x80};
    unsigned char bits[8];
    Encode(bits, context->count, sizeof bits);

    const unsigned index = (context->count[0] >> 3) & (kBlockSize - 1);
    const unsigned padLen = index < 56 ? 56 - index : 120 - index;
    libqdupk_MD5Update(context, kPadding, padLen);
    libqdupk_MD5Update(context, bits, sizeof bits);
    Encode(digest, context->state, 16);
    // The context held message bytes; leave nothing of them behind.
    std::memset(context, 0, sizeof *context);
}

QD_API void libqdupk_MD5MakeString(const char* szInput, unsigned char* digest) noexcept {
    MD5_CTX context;
    libqdupk_MD5Init(&context);
    const auto* bytes = reinterpret_cast<const unsigned char*>(szInput);
    std::size_t remaining = std::strlen(szInput);
    // Update takes an unsigned int count; feed longer strings in pieces.
    constexpr std::size_t kMaxPiece = 1U << 30;
    while (remaining > 0) {
        const std::size_t piece = remaining < kMaxPiece ? remaining : kMaxPiece;
        libqdupk_MD5Update(&context, bytes, static_cast<unsigned int>(piece));
        bytes += piece;
        remaining -= piece;
    }
    libqdupk_MD5Final(&context, digest);
}

}  // extern "C"
