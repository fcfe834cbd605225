#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

// Branch-free float exp and log for the CTC loss and its callers (part of the qo_ctc library), so that loops
// over a step's scores or states vectorise (the libm calls do not). Both are within 1 ulp of libm.
namespace ctc_math {

// e^x for x in [-inf, 0]. Below -87 the result is 0 instead of a subnormal: such a term is always
// added to 1 (the maximum's own term), where it is below float rounding. NaN gives an unspecified
// finite value (callers test for NaN first); it never reaches the integer conversion.
inline float expNonPositive(float x) {
    const float xc = x >= -87.f ? x : -87.f;
    const int n = static_cast<int>(xc * 1.44269504088896341f - 0.5f);  // nearest integer, xc <= 0
    const float fn = static_cast<float>(n);
    const float r = (xc - fn * 0.693359375f) + fn * 2.12194440e-4f;  // ln 2 in two parts
    float p = 1.9875691500e-4f;
    p = p * r + 1.3981999507e-3f;
    p = p * r + 8.3334519073e-3f;
    p = p * r + 4.1665795894e-2f;
    p = p * r + 1.6666665459e-1f;
    p = p * r + 5.0000001201e-1f;
    p = p * r * r + r + 1.f;
    const float scale = std::bit_cast<float>(static_cast<std::uint32_t>(n + 127) << 23);
    return x < -87.f ? 0.f : p * scale;
}

// ln x for a positive, normal, finite x; other inputs give an unspecified finite value, so
// callers check them (x < FLT_MIN or x > FLT_MAX or NaN) and take std::log there.
inline float logPositiveNormal(float x) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
    int e = static_cast<int>(bits >> 23 & 0xff) - 126;
    float m = std::bit_cast<float>((bits & 0x007fffffu) | 0x3f000000u);  // in [0.5, 1)
    const bool low = m < 0.707106781186547524f;
    e -= low ? 1 : 0;
    m = (low ? m + m : m) - 1.f;  // in [sqrt(0.5) - 1, sqrt(2) - 1)
    const float z = m * m;
    float y = 7.0376836292e-2f;
    y = y * m - 1.1514610310e-1f;
    y = y * m + 1.1676998740e-1f;
    y = y * m - 1.2420140846e-1f;
    y = y * m + 1.4249322787e-1f;
    y = y * m - 1.6668057665e-1f;
    y = y * m + 2.0000714765e-1f;
    y = y * m - 2.4999993993e-1f;
    y = y * m + 3.3333331174e-1f;
    y = y * m * z;
    const float fe = static_cast<float>(e);
    y += fe * -2.12194440e-4f;
    y += -0.5f * z;
    return m + y + fe * 0.693359375f;
}

// Four floats as one value: arithmetic on it compiles to vector instructions (SSE2, NEON), so the
// passes over a step's scores and states do not depend on the auto-vectoriser.
constexpr int kLanes = 4;
using Vec = float __attribute__((vector_size(kLanes * sizeof(float))));
using IntVec = std::int32_t __attribute__((vector_size(kLanes * sizeof(float))));

inline Vec splat(float v) {
    return Vec{} + v;
}

inline Vec load(const float* p) {
    Vec v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store(float* p, Vec v) {
    std::memcpy(p, &v, sizeof v);
}

// expNonPositive on every lane.
inline Vec expNonPositive(Vec x) {
    const Vec xc = x >= splat(-87.f) ? x : splat(-87.f);
    const IntVec n = __builtin_convertvector(xc * 1.44269504088896341f - 0.5f, IntVec);
    const Vec fn = __builtin_convertvector(n, Vec);
    const Vec r = (xc - fn * 0.693359375f) + fn * 2.12194440e-4f;
    Vec p = splat(1.9875691500e-4f);
    p = p * r + 1.3981999507e-3f;
    p = p * r + 8.3334519073e-3f;
    p = p * r + 4.1665795894e-2f;
    p = p * r + 1.6666665459e-1f;
    p = p * r + 5.0000001201e-1f;
    p = p * r * r + r + 1.f;
    const Vec scale = reinterpret_cast<Vec>((n + 127) << 23);
    return x < splat(-87.f) ? splat(0.f) : p * scale;
}

// logPositiveNormal on every lane.
inline Vec logPositiveNormal(Vec x) {
    const IntVec bits = reinterpret_cast<IntVec>(x);
    IntVec e = ((bits >> 23) & 0xff) - 126;
    Vec m = reinterpret_cast<Vec>((bits & 0x007fffff) | 0x3f000000);  // in [0.5, 1)
    const IntVec low = m < 0.707106781186547524f;                     // -1 where true
    e += low;
    m = (low ? m + m : m) - 1.f;  // in [sqrt(0.5) - 1, sqrt(2) - 1)
    const Vec z = m * m;
    Vec y = splat(7.0376836292e-2f);
    y = y * m - 1.1514610310e-1f;
    y = y * m + 1.1676998740e-1f;
    y = y * m - 1.2420140846e-1f;
    y = y * m + 1.4249322787e-1f;
    y = y * m - 1.6668057665e-1f;
    y = y * m + 2.0000714765e-1f;
    y = y * m - 2.4999993993e-1f;
    y = y * m + 3.3333331174e-1f;
    y = y * m * z;
    const Vec fe = __builtin_convertvector(e, Vec);
    y += fe * -2.12194440e-4f;
    y += -0.5f * z;
    return m + y + fe * 0.693359375f;
}

// out[i] = ln(in[i]) for count floats (separate arrays): the fast log for the
// positive normal numbers, std::log for the rest (0, subnormal, negative, infinite, NaN).
void logOf(const float* in, size_t count, float* out);

}  // namespace ctc_math
