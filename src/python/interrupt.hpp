// Ctrl-C during a long call: the poll that the numerics' interrupt hook runs, and what the
// entry guard does with a stop it asked for.
#pragma once

#include <Python.h>

namespace kestrune::python::interrupt {

// Installs the poll: it runs the interpreter's signal handlers and, when one raises (Ctrl-C
// raises KeyboardInterrupt), keeps the exception aside so that the call can finish its
// unwinding without a pending exception, and asks the model code to stop.
void install() noexcept;

// At the start of an entry call.
void begin() noexcept;

// Whether a handler raised during the current call.
bool stopped() noexcept;

// At the end of an entry call: when a handler raised during the call, the exception it raised
// is set again and true is returned; the call's own result must then be dropped.
bool end() noexcept;

}  // namespace kestrune::python::interrupt
