// Helpers shared by the fuzz harnesses: a failed invariant aborts with a
// message, so libFuzzer records the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

#define FUZZ_CHECK(condition, what)                                                          \
    do {                                                                                     \
        if (!(condition)) {                                                                  \
            std::fprintf(stderr, "invariant failed at %s:%d: %s\n", __FILE__, __LINE__, what); \
            std::abort();                                                                    \
        }                                                                                    \
    } while (0)

[[nodiscard]] inline std::string_view as_text(const unsigned char* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}
