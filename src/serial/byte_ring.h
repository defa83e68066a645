#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lan2com {

// A ring of bytes of fixed capacity. Not locked: its owner guards it.
class ByteRing {
  public:
    explicit ByteRing(std::size_t capacity = 0) : data_(capacity) {}

    std::size_t capacity() const { return data_.size(); }
    std::size_t size() const { return size_; }
    std::size_t free() const { return data_.size() - size_; }
    bool empty() const { return size_ == 0; }

    // Appends as many of the bytes as fit; answers how many.
    std::size_t push(const std::uint8_t* bytes, std::size_t count) {
        std::size_t n = 0;
        while (n < count && size_ < data_.size()) {
            data_[(head_ + size_) % data_.size()] = bytes[n++];
            ++size_;
        }
        return n;
    }
    bool push(std::uint8_t byte) { return push(&byte, 1) == 1; }

    // The byte at offset i from the oldest (i < size()).
    std::uint8_t peek(std::size_t i) const { return data_[(head_ + i) % data_.size()]; }

    // Removes the oldest count bytes (at most size()).
    void drop(std::size_t count) {
        if (count > size_) {
            count = size_;
        }
        head_ = size_ == count ? 0 : (head_ + count) % data_.size();
        size_ -= count;
    }

    // Moves up to max of the oldest bytes, oldest first, to the end of out; answers how many.
    std::size_t takeInto(std::vector<std::uint8_t>& out, std::size_t max) {
        const std::size_t n = max < size_ ? max : size_;
        for (std::size_t i = 0; i < n; ++i) {
            out.push_back(peek(i));
        }
        drop(n);
        return n;
    }

    void clear() {
        head_ = 0;
        size_ = 0;
    }

  private:
    std::vector<std::uint8_t> data_;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

}  // namespace lan2com
