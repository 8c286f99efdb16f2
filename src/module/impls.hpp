// The logic side of each module function: called by the frame with the bound
// arguments, converts them with Args and returns the new result reference.
#pragma once

#include "module/frame.hpp"

namespace klov::py {

PyObject* impl_cosine_similarity(Args& args);
PyObject* impl_top_k(Args& args);
PyObject* impl_encode_checkpoint(Args& args);
PyObject* impl_decode_checkpoint(Args& args);
PyObject* impl_reduce_channel(Args& args);
PyObject* impl_advance_superstep(Args& args);
PyObject* impl_plan_supersteps(Args& args);
PyObject* impl_hash_event(Args& args);
PyObject* impl_verify_chain(Args& args);
PyObject* impl_aggregate_cost(Args& args);

}  // namespace klov::py
