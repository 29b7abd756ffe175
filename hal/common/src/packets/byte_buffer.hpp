// Byte buffers of fixed capacity that frames are written into.
//
// Frames are a dozen bytes at most, so a buffer is either held inline in the caller's frame
// (ByteBuffer: sized once, never reallocated, no heap allocation) or is a view over memory that
// someone else owns and has sized exactly (ByteWriter: the inside of the result object, filled
// in place). Bytes are appended at the back; reading from front to back gives them in the order
// they were written (the wire order). A ByteCounter takes the same appends and keeps only their
// count, so the size of an encoding comes from the encoding itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <type_traits>

namespace corvane::hal {

// What an encoder may append to: single bytes and big-endian unsigned integers.
template <class Out>
concept ByteSink = requires(Out& out, std::uint8_t byte, std::uint32_t word) {
    out.push_back(byte);
    out.push_back_big_endian(word);
};

template <class Storage> class BasicByteBuffer {
  public:
    constexpr BasicByteBuffer() noexcept = default;
    constexpr explicit BasicByteBuffer(Storage storage) noexcept : bytes_(storage) {}

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

    constexpr std::size_t size() const noexcept { return size_; }
    constexpr std::span<const std::uint8_t> bytes() const noexcept {
        return {std::data(bytes_), size_};
    }

  private:
    // Capacities are computed from the largest record a buffer can hold (or, for a view, from
    // the size of the encoding), so there is always room; the check keeps a miscount from
    // writing out of bounds, and the compile-time checks of the worked frames catch such a
    // miscount before it ships. With the sizes known where a buffer is used, it folds away.
    constexpr bool has_room_for(std::size_t count) const noexcept {
        return std::size(bytes_) - size_ >= count;
    }

    Storage bytes_{}; // only the first size_ bytes are ever read
    std::size_t size_ = 0;
};

template <std::size_t Capacity>
using ByteBuffer = BasicByteBuffer<std::array<std::uint8_t, Capacity>>;
using ByteWriter = BasicByteBuffer<std::span<std::uint8_t>>;

class ByteCounter {
  public:
    constexpr void push_back(std::uint8_t) noexcept { ++size_; }
    template <class Unsigned>
        requires std::is_unsigned_v<Unsigned>
    constexpr void push_back_big_endian(Unsigned) noexcept {
        size_ += sizeof(Unsigned);
    }
    constexpr std::size_t size() const noexcept { return size_; }

  private:
    std::size_t size_ = 0;
};

static_assert(ByteSink<ByteBuffer<1>> && ByteSink<ByteWriter> && ByteSink<ByteCounter>);

} // namespace corvane::hal
