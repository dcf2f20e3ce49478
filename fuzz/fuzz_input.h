// What the fuzz targets share: the fuzzer's bytes read as a stream of decisions, and the check
// that ends a run when the code under test breaks one of its promises.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// A broken promise aborts the run, so libFuzzer keeps the input as a crash (and the lines the
// program printed so far are shown when the input is replayed).
#define FUZZ_CHECK(cond)                                                               \
    do {                                                                               \
        if (!(cond)) {                                                                 \
            fflush(stdout);                                                            \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                   \
        }                                                                              \
    } while (0)

class FuzzInput {
public:
    void reset(const uint8_t* data, size_t size) {
        p_ = data;
        left_ = size;
    }
    bool empty() const { return left_ == 0; }
    // The next byte, or fallback once the input is used up.
    uint8_t byte(uint8_t fallback) {
        if (left_ == 0) return fallback;
        --left_;
        return *p_++;
    }
    // Up to n bytes (fewer at the end of the input); returns how many were copied.
    size_t bytes(uint8_t* out, size_t n) {
        if (n > left_) n = left_;
        if (n) memcpy(out, p_, n);
        p_ += n;
        left_ -= n;
        return n;
    }

private:
    const uint8_t* p_ = nullptr;
    size_t left_ = 0;
};
