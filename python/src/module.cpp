// SPDX-License-Identifier: Apache-2.0
// The extension module kiv._kiv: thin bindings of the C API that the Python package builds on.
#include <string>

#include "kivpy.h"
#if KIVPY_OBJECTS
#include "objects.h"
#endif

PYBIND11_MODULE(_kiv, m) {
    m.doc() = "Low-level bindings of libkiv; use the kiv package instead.";
    kivpy::check(kivInitialize(), "kivInitialize");
    kivpy::bindErrors(m);
    kivpy::bindFixed(m);
    kivpy::bindRegistry(m);
    kivpy::bindTypeLibrary(m);
    kivpy::bindIdl(m);
    m.def(
        "register_plugin",
        [](const std::string &clsid, const std::string &path) {
            kivpy::check(kivRegisterDSO(clsid.c_str(), KIV_REGISTER_PROCESS, path.c_str()),
                         "registering " + path);
        },
        "Serves class `clsid` from the plug-in at `path` in this process.");
#if KIVPY_OBJECTS
    kivpy::bindObjects(m);
#endif
}
