#pragma once

#include "py_ref.h"

namespace quillan::py {

// Releases the interpreter lock for the life of the object, and takes it back on every way out,
// an exception included (the Py_BEGIN_ALLOW_THREADS macros would be skipped by a throw). No
// Python object may be touched while it lives.
class ReleaseGil {
  public:
    ReleaseGil() : state_(PyEval_SaveThread()) {}
    ~ReleaseGil() { PyEval_RestoreThread(state_); }
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;

  private:
    PyThreadState* state_;
};

// Runs `work` without the interpreter lock and returns its result; an exception it throws is
// rethrown once the lock is held again.
template <class Work>
auto without_gil(Work&& work) {
    ReleaseGil released;
    return work();
}

}  // namespace quillan::py
