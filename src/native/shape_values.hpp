#pragma once
// Converting data shape arguments and results between Python and the engine.
#include <optional>

#include "engine/data_shape.hpp"
#include "python/py_ref.hpp"

namespace tessary::native {

// kind 0: content-defined around `size` bytes; 1: fixed chunks of `size`.
// A size of 0 is accepted here and refused when the shape is finished, as
// the one-shot functions refuse it. Nullopt with an exception set.
std::optional<engine::ChunkScheme> scheme_arguments(PyObject* kind, PyObject* size);

// keep_chunks must be a real bool: a truthy object there is a caller's mistake.
std::optional<bool> flag_argument(PyObject* value, const char* name);

// threads: an int from 1 up; omitted (null) means 1. Very large counts are
// capped, since a chunk's digest is the smallest unit of work anyway.
std::optional<unsigned> threads_argument(PyObject* value);

// (hash, total_size, [(offset, length, digest), ...] or None).
python::Ref shape_tuple(const engine::DataShape& shape, bool keep_chunks);

// Raises the error as the one-shot data shape functions do; an interrupt
// leaves the signal handler's exception in place. Returns null.
PyObject* raise_shape_error(const engine::DataShapeError& error);

}  // namespace tessary::native
