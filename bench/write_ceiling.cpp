// The streaming-store ceiling of one core: bytes a second that non-temporal
// stores (the ones the loader writes its batches with) put past the cache
// into a buffer of the given size, the best of a few rounds, after a fence
// each pass as the loader ends each batch. bench/store.py reads an
// encoding's rate against it: a loader writing B bytes a position runs at no
// more than this over B positions a second.
//
//   velmor_write_ceiling BYTES     prints the bytes a second
//
// Bench-only, no part of the package; plain C++, nothing of the core.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

#if defined(__x86_64__)
// 32-byte stores where the processor has AVX2, as the plane writer uses;
// 16-byte ones (every x86-64's) otherwise.
__attribute__((target("avx2"))) void stream_avx2(unsigned char* out, std::size_t bytes, int value) {
    const __m256i v = _mm256_set1_epi8(static_cast<char>(value));
    for (std::size_t i = 0; i < bytes; i += 32) _mm256_stream_si256(reinterpret_cast<__m256i*>(out + i), v);
    _mm_sfence();
}

void stream_sse2(unsigned char* out, std::size_t bytes, int value) {
    const __m128i v = _mm_set1_epi8(static_cast<char>(value));
    for (std::size_t i = 0; i < bytes; i += 16) _mm_stream_si128(reinterpret_cast<__m128i*>(out + i), v);
    _mm_sfence();
}
#else
void stream_plain(unsigned char* out, std::size_t bytes, int value) { std::memset(out, value, bytes); }
#endif

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || std::atoll(argv[1]) <= 0) {
        std::fprintf(stderr, "usage: %s BYTES\n", argv[0]);
        return 2;
    }
    const std::size_t bytes = (static_cast<std::size_t>(std::atoll(argv[1])) + 63) / 64 * 64;
    auto* buffer = static_cast<unsigned char*>(std::aligned_alloc(64, bytes));
    if (!buffer) return 1;
    std::memset(buffer, 0, bytes);  // the pages mapped before the timing
#if defined(__x86_64__)
    void (*stream)(unsigned char*, std::size_t, int) = __builtin_cpu_supports("avx2") ? stream_avx2 : stream_sse2;
#else
    void (*stream)(unsigned char*, std::size_t, int) = stream_plain;
#endif
    // About 2 GiB a round, a tenth of a second at 20 GB/s.
    const int passes = static_cast<int>(std::max<std::size_t>(4, (std::size_t{2} << 30) / bytes));
    double best = 0;
    for (int round = 0; round < 3; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (int pass = 0; pass < passes; ++pass) stream(buffer, bytes, pass);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (static_cast<double>(bytes) * passes / seconds > best) best = static_cast<double>(bytes) * passes / seconds;
    }
    std::printf("%.0f\n", best);
    std::free(buffer);
    return 0;
}
