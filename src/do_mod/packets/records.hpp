// The records of the digital-output protocol: plain values, every field set at construction.
#pragma once

#include <cstdint>

namespace corvane::do_mod {

struct GetDoutsRequest {};

struct SetDoutsRequest {
    std::uint16_t bin_layout;
};

struct GetDoutsResponse {
    std::uint16_t bin_layout;
};

struct SetDoutsResponse {
    std::uint8_t success; // a count-like integer on the wire, not a boolean
};

} // namespace corvane::do_mod
