// A byte buffer of fixed capacity held inline.
//
// Frames are a dozen bytes at most, so their buffers live in the caller's frame: sized once,
// never reallocated, and a frame costs no heap allocation. Bytes are appended at the back;
// reading from front to back gives them in the order they were written (the wire order).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

namespace corvane::hal {

template <std::size_t Capacity> class ByteBuffer {
  public:
    static constexpr std::size_t capacity = Capacity;

    constexpr void push_back(std::uint8_t byte) noexcept {
        if (has_room_for(1)) [[likely]] {
            bytes_[size_++] = byte;
        }
    }

    // Appends an unsigned integer most significant byte first.
    template <class Unsigned>
        requires std::is_unsigned_v<Unsigned>
    constexpr void push_back_big_endian(Unsigned value) noexcept {
        if (has_room_for(sizeof(Unsigned))) [[likely]] {
            for (std::size_t shift = sizeof(Unsigned); shift-- > 0;) {
                bytes_[size_++] = static_cast<std::uint8_t>(value >> (8 * shift));
            }
        }
    }

    template <std::size_t Other> constexpr void append(const ByteBuffer<Other>& other) noexcept {
        if (has_room_for(other.size())) [[likely]] {
            std::ranges::copy(other.bytes(), bytes_.begin() + size_);
            size_ += other.size();
        }
    }

    constexpr std::size_t size() const noexcept { return size_; }
    constexpr std::span<const std::uint8_t> bytes() const noexcept {
        return {bytes_.data(), size_};
    }

  private:
    // Capacities are computed from the largest record a buffer can hold, so there is always
    // room; the check keeps a miscounted capacity from writing out of bounds, and the
    // compile-time checks of the worked frames catch such a miscount before it ships.
    constexpr bool has_room_for(std::size_t count) const noexcept {
        return Capacity - size_ >= count;
    }

    std::array<std::uint8_t, Capacity> bytes_; // only the first size_ bytes are ever read
    std::size_t size_ = 0;
};

} // namespace corvane::hal
