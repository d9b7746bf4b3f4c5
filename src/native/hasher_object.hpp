#pragma once
// Hasher: a streaming data shape hash over Python buffers.
#include "python/py_ref.hpp"

namespace tessary::native {

python::Ref create_hasher_type();

}  // namespace tessary::native
