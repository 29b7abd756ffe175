// A request frame as the bytes object handed to Python, written in place.
//
// The frame is written straight into a new bytes object of exactly its size: the object is the
// only allocation of a successful call, and no byte is stored twice.
#pragma once

#include "hal/common/src/packets/frame.hpp"
#include "src/boundary/object_creation.hpp"

#include <cstdint>
#include <span>

namespace corvane::do_mod {

// Inlined into each builder, where the request variant is known and the framing folds to a few
// stores of constants and of the converted arguments.
template <hal::EncodablePacket Packet>
[[gnu::always_inline]] inline Owned frame_as_bytes(std::uint64_t address, const Packet& packet) {
    auto frame = hal::make_frame(address, packet);
    // An uninitialised bytes object of the final size, which nothing else can see until the
    // frame fills it.
    Owned bytes =
        checked_creation(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(frame.size())));
    hal::ByteWriter out{
        std::span(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())), frame.size())};
    hal::frame_to_bytes(frame, out);
    return bytes;
}

} // namespace corvane::do_mod
