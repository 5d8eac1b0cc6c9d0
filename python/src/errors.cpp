// SPDX-License-Identifier: Apache-2.0
// Result codes as Python exceptions.
#include <string>

#include "kivpy.h"

namespace kivpy {

void raiseError(kivResult code, std::string_view context) {
    py::object error = py::module_::import("kiv.errors")
                           .attr("from_code")(code, py::str(context.data(), context.size()));
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

void bindErrors(py::module_ &m) {
    m.def(
        "strerror", [](uint32_t code) { return std::string(kivStrError(code)); }, py::arg("code"),
        "The text of a result code.");
}

}  // namespace kivpy
