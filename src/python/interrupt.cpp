#include "python/interrupt.hpp"

#include "numerics/interrupt.hpp"

namespace kestrune::python::interrupt {
namespace {

// The exception a signal handler raised during the current call, held until the call ends.
// Polled only by the thread that holds the interpreter lock.
struct Kept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
};
thread_local Kept kept;

bool poll() noexcept {
  if (kept.type != nullptr) return true;
  if (PyErr_CheckSignals() == 0) return false;
  PyErr_Fetch(&kept.type, &kept.value, &kept.traceback);
  if (kept.type == nullptr) {  // a handler failed without an exception: still a stop
    Py_INCREF(PyExc_KeyboardInterrupt);
    kept.type = PyExc_KeyboardInterrupt;
  }
  return true;
}

}  // namespace

void install() noexcept { kestrune::interrupt::install(&poll); }

void begin() noexcept {
  if (kept.type == nullptr) kestrune::interrupt::reset();
}

bool stopped() noexcept { return kept.type != nullptr; }

bool end() noexcept {
  if (kept.type == nullptr) return false;
  PyErr_Restore(kept.type, kept.value, kept.traceback);  // steals the three references
  kept = Kept{};
  kestrune::interrupt::reset();
  return true;
}

}  // namespace kestrune::python::interrupt
