// The payload of a request frame:
//
//   offset 0  1 byte              cmd: the request's command code
//   offset 1  4 bytes, big-endian id: the caller's request identifier, carried unchanged
//   offset 5  2 bytes, big-endian bin_layout (SetDouts only; GetDouts carries nothing more)
//
// The union's tag is not written separately: cmd carries it.
#pragma once

#include "hal/common/src/packets/frame.hpp"
#include "src/do_mod/packets/unions.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace corvane::do_mod {

struct RequestPacket {
    static constexpr std::uint8_t base_id = kBaseId;
    static constexpr std::size_t max_encoded_size = 7;

    std::uint8_t cmd;
    std::uint32_t id;
    Request request;

    // The builders always set cmd from the request, so the two cannot disagree.
    static constexpr RequestPacket of(std::uint32_t id, Request request) noexcept {
        return RequestPacket{request.cmd(), id, request};
    }
};

// Encoders append to any byte sink: a buffer of their own, the result object being filled, or a
// counter that measures the payload.
constexpr void encode_record(const GetDoutsRequest&, hal::ByteSink auto&) noexcept {}

constexpr void encode_record(const SetDoutsRequest& record, hal::ByteSink auto& out) noexcept {
    out.push_back_big_endian(record.bin_layout);
}

constexpr void encode_packet(const RequestPacket& packet, hal::ByteSink auto& out) noexcept {
    out.push_back(packet.cmd);
    out.push_back_big_endian(packet.id);
    std::visit([&out](const auto& record) { encode_record(record, out); }, packet.request.value);
}

static_assert(hal::EncodablePacket<RequestPacket>);

namespace checks {
// The worked frames, checked by the compiler: a miscounted capacity or length, or a byte-order
// slip, fails the build instead of a board. Both ways of writing a frame are checked: into a
// buffer of its own, and in place into memory of exactly the frame's size, as the builders do.
template <std::size_t N>
constexpr bool frames_as(std::uint64_t address, const RequestPacket& packet,
                         const std::array<std::uint8_t, N>& expected) {
    auto frame = hal::make_frame(address, packet);
    if (frame.size() != N) {
        return false;
    }
    auto buffered = hal::frame_to_bytes(frame);
    std::array<std::uint8_t, N> memory{};
    hal::ByteWriter in_place{std::span<std::uint8_t>(memory)};
    hal::frame_to_bytes(frame, in_place);
    return std::ranges::equal(buffered.bytes(), expected) && in_place.size() == N &&
           memory == expected;
}
static_assert(frames_as(3, RequestPacket::of(0x01020304, Request{GetDoutsRequest{}}),
                        std::array<std::uint8_t, 10>{0x23, 0, 0, 0, 5, 0, 1, 2, 3, 4}));
static_assert(frames_as(300, RequestPacket::of(0xFFFFFFFF, Request{GetDoutsRequest{}}),
                        std::array<std::uint8_t, 10>{0x4C, 0, 0, 0, 5, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
static_assert(frames_as(0, RequestPacket::of(7, Request{SetDoutsRequest{0xA5C3}}),
                        std::array<std::uint8_t, 12>{0x20, 0, 0, 0, 7, 1, 0, 0, 0, 7, 0xA5, 0xC3}));
} // namespace checks

} // namespace corvane::do_mod
