// 128-bit integers, for exact products and sums of 64-bit operands.
#pragma once

namespace klov {

#if defined(__SIZEOF_INT128__)
__extension__ typedef unsigned __int128 uint128;
__extension__ typedef __int128 int128;
#else
#error "klov_core needs a compiler with a 128-bit integer type"
#endif

}  // namespace klov
