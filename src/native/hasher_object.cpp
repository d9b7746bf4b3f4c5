// Hasher(kind, size, keep_chunks, threads=1): update(buffer), copy(), finish().
//
// Each hasher has its own mutex so that threads sharing one cannot corrupt
// it. The mutex is never waited for while holding the interpreter lock: a
// thread holding it may need the interpreter lock back for the signal poll.
#include "native/hasher_object.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/data_shape.hpp"
#include "engine/threaded_shape.hpp"
#include "native/buffer_view.hpp"
#include "native/gil.hpp"
#include "native/shape_values.hpp"
#include "native/error_kinds.hpp"
#include "native/method_table.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"

namespace tessary::native {

namespace {

using python::Ref;

// Below this, releasing the interpreter lock costs more than it lets run.
// (Pieces under it are hashed whole: no poll is needed for so few bytes.)
constexpr std::size_t kReleaseThreshold = std::size_t{64} << 10;

struct HasherState {
  explicit HasherState(engine::ThreadedShapeHasher h, bool keep) : hasher(std::move(h)), keep_chunks(keep) {}

  std::mutex mutex;
  engine::ThreadedShapeHasher hasher;  // guarded by mutex
  const bool keep_chunks;
  bool finished = false;           // guarded by mutex
  // An update stopped part way, or ended with a signal handler's exception:
  // its caller cannot tell which bytes went in. Set once, never cleared.
  std::atomic<bool> interrupted{false};
};

// The states this thread's calls are working on, innermost last. A signal
// handler runs on the thread whose call it interrupted, so finding the state
// here means the handler reached into that call: it must neither wait for
// the mutex its own thread holds nor change the state under the call.
thread_local std::vector<const HasherState*> busy_here;

struct Busy {
  explicit Busy(const HasherState& state) { busy_here.push_back(&state); }
  ~Busy() { busy_here.pop_back(); }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;
};

bool in_use_here(const HasherState& state) {
  return std::find(busy_here.begin(), busy_here.end(), &state) != busy_here.end();
}

struct HasherObject {
  PyObject_HEAD
  HasherState* state;  // owned; null only for an object not made by Hasher()
};

HasherState* state_of(PyObject* self) {
  HasherState* state = reinterpret_cast<HasherObject*>(self)->state;
  if (state == nullptr) raise_error(Area::Shape, "Hasher is not initialised");
  return state;
}

// What a method found when it took the state's mutex.
enum class Access { Ready, Reentered, Interrupted, Finished, Signalled };

Access access_of(const HasherState& state) {
  if (state.interrupted.load(std::memory_order_relaxed)) return Access::Interrupted;
  if (state.finished) return Access::Finished;
  return Access::Ready;
}

// Runs `op` (native work only) on a usable state under its mutex. With the
// interpreter lock kept when the mutex is free at once and the work is
// small; otherwise the lock is released first and taken back only after the
// mutex is let go. Work done without the lock ends with one more look for
// signals, still marked busy: a signal that arrived while the lock was away
// is then handled inside this call, whose state its handler cannot touch,
// rather than after it (Signalled, the handler's exception set).
template <typename Op>
Access with_state(HasherState& state, bool release_gil, Op&& op) {
  if (in_use_here(state)) return Access::Reentered;
  const Busy busy(state);
  auto run = [&] {
    const Access access = access_of(state);
    if (access == Access::Ready) op();
    return access;
  };
  if (!release_gil) {
    std::unique_lock<std::mutex> lock(state.mutex, std::try_to_lock);
    if (lock.owns_lock()) return run();
  }
  Access access;
  {
    const WithoutGil released;
    const std::lock_guard<std::mutex> lock(state.mutex);  // let go before `released` takes the lock back
    access = run();
  }
  if (PyErr_Occurred() == nullptr && PyErr_CheckSignals() != 0) return Access::Signalled;
  return access;
}

// Raises the refusal of a state that was not Ready. Returns null.
PyObject* raise_refusal(Access access) {
  switch (access) {
    case Access::Signalled: return nullptr;  // the handler's exception
    case Access::Reentered: return raise_error(Area::Shape, "hasher is in use by the call this signal handler interrupted");
    case Access::Interrupted: return raise_error(Area::Shape, "hasher was interrupted during an update");
    case Access::Finished:
    case Access::Ready: break;
  }
  return raise_error(Area::Shape, "hasher already finished");
}

PyObject* wrap_state(PyTypeObject* type, std::unique_ptr<HasherState> state) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<HasherObject*>(self)->state = state.release();
  return self;
}

PyObject* hasher_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Ref slots[4];
  if (!python::bind_arguments({"Hasher", {"kind", "size", "keep_chunks", "threads"}, 3}, args, kwargs, slots)) return nullptr;
  auto scheme = scheme_arguments(slots[0].get(), slots[1].get());
  if (!scheme) return nullptr;
  auto keep = flag_argument(slots[2].get(), "keep_chunks");
  if (!keep) return nullptr;
  auto threads = threads_argument(slots[3].get());
  if (!threads) return nullptr;
  return wrap_state(type, std::make_unique<HasherState>(engine::ThreadedShapeHasher(*scheme, *keep, *threads), *keep));
}

PyObject* guarded_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  try {
    return hasher_new(type, args, kwargs);
  } catch (...) {
    return python::raise_current_exception();
  }
}

void hasher_dealloc(PyObject* self) {
  delete reinterpret_cast<HasherObject*>(self)->state;
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyObject* update(PyObject* self, PyObject* args, PyObject* kwargs) {
  Ref slots[1];
  if (!python::bind_arguments({"Hasher.update", {"data"}, 1}, args, kwargs, slots)) return nullptr;
  HasherState* state = state_of(self);
  if (state == nullptr) return nullptr;
  BufferView buffer;
  if (!buffer.open(slots[0].get(), "data")) return nullptr;
  const auto bytes = buffer.bytes();
  std::expected<void, engine::DataShapeError> fed;
  const Access access = with_state(*state, bytes.size() >= kReleaseThreshold, [&] {
    fed = state->hasher.update(bytes);
    if (!fed) state->interrupted.store(true, std::memory_order_relaxed);
  });
  if (access == Access::Signalled) state->interrupted.store(true, std::memory_order_relaxed);
  if (access != Access::Ready) return raise_refusal(access);
  if (!fed) return nullptr;  // the signal handler's exception
  Py_RETURN_NONE;
}

PyObject* copy(PyObject* self, PyObject*, PyObject*) {
  HasherState* state = state_of(self);
  if (state == nullptr) return nullptr;
  std::unique_ptr<HasherState> twin;
  const Access access =
      with_state(*state, false, [&] { twin = std::make_unique<HasherState>(state->hasher, state->keep_chunks); });
  if (access != Access::Ready) return raise_refusal(access);
  return wrap_state(Py_TYPE(self), std::move(twin));
}

PyObject* finish(PyObject* self, PyObject*, PyObject*) {
  HasherState* state = state_of(self);
  if (state == nullptr) return nullptr;
  engine::DataShape shape;
  std::expected<std::string, engine::DataShapeError> hash;
  const Access access = with_state(*state, false, [&] {
    state->finished = true;
    auto done = state->hasher.finish();
    if (done) {
      shape = std::move(*done);
    } else {
      hash = std::unexpected(std::move(done.error()));
    }
  });
  if (access != Access::Ready) return raise_refusal(access);
  if (!hash) return raise_shape_error(hash.error());
  return shape_tuple(shape, state->keep_chunks).release();
}

// Methods without arguments still take (args, kwargs) so the one guard fits all.
PyObject* copy_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!python::bind_arguments({"Hasher.copy", {}, 0}, args, kwargs, nullptr)) return nullptr;
  return copy(self, args, kwargs);
}

PyObject* finish_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!python::bind_arguments({"Hasher.finish", {}, 0}, args, kwargs, nullptr)) return nullptr;
  return finish(self, args, kwargs);
}

constexpr const char* kHasherDoc =
    "Hasher(kind, size, keep_chunks, threads=1)\n--\n\n"
    "Streaming data shape hash.\n\n"
    "kind 0 cuts content-defined chunks around `size` bytes, kind 1 fixed chunks\n"
    "of `size` bytes. The result is the same however the data is split between\n"
    "updates. Large updates are digested on `threads` threads. Safe to share\n"
    "between threads.";

constexpr const char* kUpdateDoc =
    "update($self, data)\n--\n\n"
    "Feed the bytes of any C-contiguous buffer. Large buffers are hashed with\n"
    "the interpreter lock released; the buffer cannot be resized meanwhile.";

constexpr const char* kCopyDoc =
    "copy($self)\n--\n\n"
    "An independent hasher that continues from the current state.";

constexpr const char* kFinishDoc =
    "finish($self)\n--\n\n"
    "Return (hash, total_size, chunks); chunks is a list of (offset, length,\n"
    "digest) when the hasher keeps chunks, else None. Call once.";

PyMethodDef kMethods[] = {
    keyword_entry<update>("update", kUpdateDoc),
    keyword_entry<copy_entry>("copy", kCopyDoc),
    keyword_entry<finish_entry>("finish", kFinishDoc),
    kTableEnd,
};


PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kHasherDoc)},
    {Py_tp_new, reinterpret_cast<void*>(guarded_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(hasher_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"tessary._native.Hasher", sizeof(HasherObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

Ref create_hasher_type() {
  kSpec.flags |= python::immutable_type_flag();
  return Ref::steal(PyType_FromSpec(&kSpec));
}

}  // namespace tessary::native
