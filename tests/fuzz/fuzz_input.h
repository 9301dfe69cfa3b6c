// What the fuzz targets share: the reader that hands out a fuzzer's input, and the check that
// turns a broken expectation into a crash the fuzzer reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace kivo::fuzzing {

inline void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Hands out the input's bytes in order, and zeros once they run out.
class TInput {
public:
    TInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    // Four bytes, the first the most significant.
    uint32_t Word() {
        uint32_t value = 0;
        for (int n = 0; n < 4; ++n) {
            value = value << 8 | Byte();
        }
        return value;
    }
    // Up to `count` bytes: fewer when the input ends first.
    template <typename Bytes = std::string>
    Bytes Take(size_t count) {
        Bytes bytes;
        while (bytes.size() < count && !Empty()) {
            bytes.push_back(static_cast<typename Bytes::value_type>(Byte()));
        }
        return bytes;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

} // namespace kivo::fuzzing
