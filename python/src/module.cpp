// The compiled part of the `orvterdep` package.
#include <OrvError.h>

#include "bindings.h"

PYBIND11_MODULE(_core, m) {
    namespace py = pybind11;
    m.doc() = "LAS point clouds and XML packets, over the OrvTerDep library";
    m.attr("__version__") = ORV_VERSION;
    py::register_exception<orvpy::FormatError>(m, "FormatError", PyExc_ValueError);
    // The file layer's failures are the operating system's: OSError with errno and path.
    py::register_exception_translator([](std::exception_ptr failure) {
        try {
            if (failure) std::rethrow_exception(failure);
        } catch (const orv::FileError& e) {
            PyObject* error = PyObject_CallFunction(PyExc_OSError, "iss", e.errorCode(), e.what(),
                                                    e.path().c_str());
            if (error) {
                PyErr_SetObject(PyExc_OSError, error);
                Py_DECREF(error);
            }
        }
    });
    orvpy::bindPacket(m);
    orvpy::bindStream(m);
    orvpy::bindLas(m);
}
