// Request and Response: closed two-variant unions over the records, tagged by command code.
#pragma once

#include "src/do_mod/packets/records.hpp"

#include <cstdint>
#include <variant>

namespace corvane::do_mod {

// Every frame's header byte is the base id plus the board address.
inline constexpr std::uint8_t kBaseId = 32;

inline constexpr std::uint8_t kGetDoutsCmd = 0;
inline constexpr std::uint8_t kSetDoutsCmd = 1;

// A union value is its variant's tag (the command code) and the record it carries. The
// alternatives are ordered so that a variant's index is its command code.
template <class GetDouts, class SetDouts> struct DoutsUnion {
    std::variant<GetDouts, SetDouts> value;

    constexpr std::uint8_t cmd() const noexcept { return static_cast<std::uint8_t>(value.index()); }
    static constexpr std::uint8_t base_id() noexcept { return kBaseId; }
};

using Request = DoutsUnion<GetDoutsRequest, SetDoutsRequest>;
using Response = DoutsUnion<GetDoutsResponse, SetDoutsResponse>;

// The tag is one byte beside the two-byte record, with any standard library (see CMakeLists.txt
// for libc++'s), so that on 64-bit machines a union object is as small as a record object (24
// bytes; on 32-bit ones the object header leaves it 16 against a record's 12).
static_assert(sizeof(Request) == 4 && sizeof(Response) == 4);

static_assert(Request{GetDoutsRequest{}}.cmd() == kGetDoutsCmd);
static_assert(Request{SetDoutsRequest{0}}.cmd() == kSetDoutsCmd);
static_assert(Response{GetDoutsResponse{0}}.cmd() == kGetDoutsCmd);
static_assert(Response{SetDoutsResponse{0}}.cmd() == kSetDoutsCmd);

} // namespace corvane::do_mod
