// SPDX-License-Identifier: Apache-2.0
// Shared pieces of the extension module kiv._kiv: error raising and the binders of each part.
#pragma once

#include <pybind11/pybind11.h>

#include <string_view>

#include "kiv.h"

namespace kivpy {

namespace py = pybind11;

// Raises the kiv.Error subclass for `code` (made by kiv.errors.from_code), with `context`
// saying what failed.
[[noreturn]] void raiseError(kivResult code, std::string_view context);

// Raises for a failed code; returns quietly for success.
inline void check(kivResult code, std::string_view context) {
    if (KIV_FAILED(code)) raiseError(code, context);
}

void bindErrors(py::module_ &m);
void bindFixed(py::module_ &m);
void bindRegistry(py::module_ &m);
void bindTypeLibrary(py::module_ &m);
void bindIdl(py::module_ &m);

}  // namespace kivpy
