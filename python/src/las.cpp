// Full-fidelity LAS from Python.
#include "bindings.h"

namespace orvpy {

void bindLas(py::module_&) {}

}  // namespace orvpy
