// Exceptions raised by the frame itself.
#pragma once

#include <Python.h>

#include <string>

namespace klov::py {

// Returns nullptr, making sure an exception is set: an interpreter call that
// failed without setting one becomes SystemError.
PyObject* ensure_error_set();

// Writes the one-line diagnostic to stderr and raises PanicException with the
// fault's message (a generic text when it has none).  Returns nullptr.
PyObject* raise_panic(const std::string& message, const char* file, int line);

// Forgets the process-wide objects of the frame when their interpreter ends.
void forget_interpreter_objects();

}  // namespace klov::py
