// module/gil.hpp: the interpreter's lock let go for a stretch of pure byte
// work (file reads and writes, inflating, unfiltering into planes not yet
// handed out, compressing the module's own buffers), so that other threads
// run meanwhile. Nothing of the host may be touched while it is let go: no
// object, no reference count, no error state; only memory the stretch was
// given, which nobody else can resize or free until the lock is back.
#pragma once
#include "module/python.hpp"

namespace corvane {

class WithoutGil {
 public:
  WithoutGil() : state_(PyEval_SaveThread()) {}
  ~WithoutGil() { PyEval_RestoreThread(state_); }
  WithoutGil(const WithoutGil &) = delete;
  WithoutGil &operator=(const WithoutGil &) = delete;

  // fn() with the lock taken back for its length, on the thread that let it
  // go: for the moments byte work needs the host (a plane to grow, a stream
  // to read), which let it go again after.
  template <class Fn>
  auto held(Fn &&fn) {
    PyEval_RestoreThread(state_);
    struct Again {
      PyThreadState *&state;
      ~Again() { state = PyEval_SaveThread(); }
    } again{state_};
    return fn();
  }

 private:
  PyThreadState *state_;
};

// fn() with the lock let go.
template <class Fn>
auto without_gil(Fn &&fn) {
  WithoutGil released;
  return fn();
}

// fn() with the lock held: from inside `released` when it is let go there,
// else as it is.
template <class Fn>
auto with_gil(WithoutGil *released, Fn &&fn) {
  return released ? released->held(fn) : fn();
}

}  // namespace corvane
