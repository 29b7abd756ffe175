// The frame around every payload sent to a board:
//
//   offset 0  1 byte              header: (base id + destination address) mod 256
//   offset 1  4 bytes, big-endian length: payload size (neither header nor length counted)
//   offset 5  `length` bytes      payload
//
// No checksum, terminator, padding or escaping. The frame layer knows nothing of the
// payload but how to encode it and which protocol's base id it belongs to.
//
// A frame keeps its payload as the packet and encodes it where the frame is written, so every
// byte is stored once, in its final place. (Encoding the payload into a buffer of its own and
// copying that after the header made each copy's wide loads wait on the narrow stores just
// made, which cost more than the rest of the framing together.) Its length is measured by
// running the same encoding into a counter, so it cannot disagree with the bytes written.
#pragma once

#include "hal/common/src/packets/byte_buffer.hpp"

#include <concepts>
#include <cstddef>
#include <cstdint>

namespace corvane::hal {

inline constexpr std::size_t kFrameOverhead = 5; // header byte and length field

// A record that can encode itself as a frame payload.
template <class Packet>
concept EncodablePacket =
    requires(const Packet& packet, ByteBuffer<Packet::max_encoded_size>& out, ByteCounter& count) {
        { Packet::base_id } -> std::convertible_to<std::uint8_t>;
        { encode_packet(packet, out) };
        { encode_packet(packet, count) };
    };

template <EncodablePacket Packet> struct Frame {
    std::uint8_t header = 0;
    std::uint32_t length = 0;
    Packet payload;

    // The number of bytes frame_to_bytes writes.
    constexpr std::size_t size() const noexcept { return kFrameOverhead + length; }
};

// The payload size of `packet`: the number of bytes its encoding appends.
template <EncodablePacket Packet> constexpr std::size_t encoded_size(const Packet& packet) {
    ByteCounter count;
    encode_packet(packet, count);
    return count.size();
}

// Frames `packet` for `address`; only the low eight bits of the address count.
template <EncodablePacket Packet>
constexpr Frame<Packet> make_frame(std::uint64_t address, const Packet& packet) {
    return Frame<Packet>{
        .header = static_cast<std::uint8_t>(address + Packet::base_id),
        .length = static_cast<std::uint32_t>(encoded_size(packet)),
        .payload = packet,
    };
}

// Writes the whole frame into `out`, which has room for frame.size() bytes: the header, the
// length, then the payload encoded in place.
template <EncodablePacket Packet, ByteSink Out>
constexpr void frame_to_bytes(const Frame<Packet>& frame, Out& out) {
    out.push_back(frame.header);
    out.push_back_big_endian(frame.length);
    encode_packet(frame.payload, out);
}

// The whole frame as one contiguous buffer, sized once for the largest frame of its kind.
template <EncodablePacket Packet>
constexpr ByteBuffer<Packet::max_encoded_size + kFrameOverhead>
frame_to_bytes(const Frame<Packet>& frame) {
    ByteBuffer<Packet::max_encoded_size + kFrameOverhead> out;
    frame_to_bytes(frame, out);
    return out;
}

} // namespace corvane::hal
