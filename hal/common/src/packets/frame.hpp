// The frame around every payload sent to a board:
//
//   offset 0  1 byte              header: (base id + destination address) mod 256
//   offset 1  4 bytes, big-endian length: payload size (neither header nor length counted)
//   offset 5  `length` bytes      payload
//
// No checksum, terminator, padding or escaping. The frame layer knows nothing of the
// payload but how to encode it and which protocol's base id it belongs to.
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
    requires(const Packet& packet, ByteBuffer<Packet::max_encoded_size>& out) {
        { Packet::base_id } -> std::convertible_to<std::uint8_t>;
        { encode_packet(packet, out) };
    };

template <std::size_t PayloadCapacity> struct Frame {
    std::uint8_t header = 0;
    std::uint32_t length = 0;
    ByteBuffer<PayloadCapacity> payload;
};

// Encodes `packet` and frames it for `address`; only the low eight bits of the address count.
template <EncodablePacket Packet>
constexpr Frame<Packet::max_encoded_size> make_frame(std::uint64_t address, const Packet& packet) {
    Frame<Packet::max_encoded_size> frame;
    encode_packet(packet, frame.payload);
    frame.header = static_cast<std::uint8_t>(address + Packet::base_id);
    frame.length = static_cast<std::uint32_t>(frame.payload.size());
    return frame;
}

// The whole frame as one contiguous buffer, sized once for the largest frame of its kind.
template <std::size_t PayloadCapacity>
constexpr ByteBuffer<PayloadCapacity + kFrameOverhead>
frame_to_bytes(const Frame<PayloadCapacity>& frame) {
    ByteBuffer<PayloadCapacity + kFrameOverhead> out;
    out.push_back(frame.header);
    out.push_back_big_endian(frame.length);
    out.append(frame.payload);
    return out;
}

} // namespace corvane::hal
