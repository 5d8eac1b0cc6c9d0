// SPDX-License-Identifier: Apache-2.0
// Result codes as Python exceptions.
#include <string>

#include "kivpy.h"
#if KIVPY_OBJECTS
#include "objects.h"
#endif

namespace kivpy {

void raiseError(kivResult code, std::string_view context) {
    py::object error = py::module_::import("kiv.errors")
                           .attr("from_code")(code, py::str(context.data(), context.size()));
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

void bindErrors(py::module_ &m) {
    m.def(
        "strerror",
        [](uint32_t code) {
#if KIVPY_OBJECTS
            return std::string(callErrorText(code));
#else
            return std::string(kivStrError(code));
#endif
        },
        py::arg("code"), "The text of a result code.");
}

}  // namespace kivpy
