#include "src/do_mod/packets/builders.hpp"

#include "src/boundary/argument_binding.hpp"
#include "src/boundary/argument_error.hpp"
#include "src/boundary/call_guard.hpp"
#include "src/boundary/compact_arguments.hpp"
#include "src/boundary/integer_conversion.hpp"
#include "src/do_mod/packets/frame_object.hpp"
#include "src/do_mod/packets/request_packet.hpp"

namespace corvane::do_mod {

namespace {

constexpr ArgumentSpec<2> kGetDoRequestSpec{"", "get_do_request", {"addr", "id"}};
constexpr ArgumentSpec<2> kSetDoRequestSpec{"", "set_do_request", {"bin_state", "id"}};

// A frame to send: the address its header is made from, and the payload.
struct Addressed {
    std::uint64_t address;
    RequestPacket packet;
};

[[gnu::always_inline]] inline Owned frame_request(const Addressed& frame) {
    return frame_as_bytes(frame.address, frame.packet);
}

// Both builders take a request-specific first parameter and the request id, converted strictly
// in that order (only the first failure is reported), and frame what `Compose` makes of them.
template <const ArgumentSpec<2>& spec, auto ConvertFirst, auto Compose>
[[gnu::always_inline]] inline PyResult<Owned> build_request(PyObject* const* args, Py_ssize_t nargs,
                                                            PyObject* kwnames) {
    auto bound = bind_vector_arguments(spec, args, nargs, kwnames);
    if (!bound) {
        return forward_error(bound);
    }
    auto first = convert_argument(spec.parameter_names[0], (*bound)[0], ConvertFirst);
    if (!first) {
        return forward_error(first);
    }
    auto id = convert_argument(spec.parameter_names[1], (*bound)[1], convert_u32);
    if (!id) {
        return forward_error(id);
    }
    return frame_request(Compose(*first, *id));
}

// Every call but the common one (see request_entry): keywords, a wrong count, large ints,
// objects with __index__, and everything that fails. It takes the entry's own parameters, so
// that the entry hands over to it with a bare jump.
template <const ArgumentSpec<2>& spec, auto ConvertFirst, auto Compose>
[[gnu::noinline, gnu::cold]] PyObject* general_request_entry(PyObject*, PyObject* const* args,
                                                             Py_ssize_t nargs, PyObject* kwnames) {
    return call_guard([&] [[gnu::always_inline]] {
        return build_request<spec, ConvertFirst, Compose>(args, nargs, kwnames);
    });
}

// The common call, two small ints by position, is framed straight from its arguments; it gives
// the same result the general path would (see read_compact_positional). Kept apart so that the
// hot path is the conversions, the allocation and the stores, with no intermediate results
// held in memory (on 3.14 they cost about 7% of a call's time, 10 to 25 instructions).
template <const ArgumentSpec<2>& spec, auto ConvertFirst, auto Compose>
[[gnu::always_inline]] inline PyObject* request_entry(PyObject* self, PyObject* const* args,
                                                      Py_ssize_t nargs, PyObject* kwnames) {
    using First = typename decltype(ConvertFirst(Borrowed{}))::value_type;
    First first;
    std::uint32_t id;
    if (read_compact_positional(args, nargs, kwnames, first, id)) [[likely]] {
        return call_guard([&] [[gnu::always_inline]] { return frame_request(Compose(first, id)); });
    }
    return general_request_entry<spec, ConvertFirst, Compose>(self, args, nargs, kwnames);
}

// The composition of each builder: its converted arguments as the frame to send.
Addressed get_do_frame(std::uint64_t addr, std::uint32_t id) {
    return Addressed{addr, RequestPacket::of(id, Request{GetDoutsRequest{}})};
}

Addressed set_do_frame(std::uint16_t bin_state, std::uint32_t id) {
    // A set request is never addressed: its frames always go out with address 0.
    return Addressed{0, RequestPacket::of(id, Request{SetDoutsRequest{bin_state}})};
}

PyObject* get_do_request_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return request_entry<kGetDoRequestSpec, convert_u64, get_do_frame>(self, args, nargs, kwnames);
}

PyObject* set_do_request_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return request_entry<kSetDoRequestSpec, convert_u16, set_do_frame>(self, args, nargs, kwnames);
}

// PyMethodDef stores every C function as a PyCFunction; the flags tell the interpreter the
// real signature. The cast goes through void(*)() so the compiler knows it is deliberate.
template <class Function> PyCFunction as_cfunction(Function* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef get_do_request_def{"get_do_request", as_cfunction(&get_do_request_entry),
                               METH_FASTCALL | METH_KEYWORDS, "get_do_request(addr, id)\n--\n\n"};
PyMethodDef set_do_request_def{"set_do_request", as_cfunction(&set_do_request_entry),
                               METH_FASTCALL | METH_KEYWORDS,
                               "set_do_request(bin_state, id)\n--\n\n"};

} // namespace

PyMethodDef& get_do_request_definition() {
    return get_do_request_def;
}
PyMethodDef& set_do_request_definition() {
    return set_do_request_def;
}

} // namespace corvane::do_mod
