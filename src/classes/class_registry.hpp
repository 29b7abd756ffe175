// The ten classes of corvane, each created once per process on first need.
#pragma once

#include "src/do_mod/packets/records.hpp"
#include "src/do_mod/packets/unions.hpp"
#include "src/module/lazy_class.hpp"

namespace corvane::classes {

// Record classes, by the record they hold.
template <class Record> LazyClass& record_class();
template <> LazyClass& record_class<do_mod::GetDoutsRequest>();
template <> LazyClass& record_class<do_mod::SetDoutsRequest>();
template <> LazyClass& record_class<do_mod::GetDoutsResponse>();
template <> LazyClass& record_class<do_mod::SetDoutsResponse>();

inline LazyClass& get_douts_request_class() {
    return record_class<do_mod::GetDoutsRequest>();
}
inline LazyClass& set_douts_request_class() {
    return record_class<do_mod::SetDoutsRequest>();
}
inline LazyClass& get_douts_response_class() {
    return record_class<do_mod::GetDoutsResponse>();
}
inline LazyClass& set_douts_response_class() {
    return record_class<do_mod::SetDoutsResponse>();
}

// Union classes and their variant classes.
LazyClass& request_class();
LazyClass& response_class();

} // namespace corvane::classes
