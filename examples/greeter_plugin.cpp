// SPDX-License-Identifier: Apache-2.0
// The greeter plug-in in C++: the same class as the C plug-in, implemented through the C++
// mapping of greeter.idl (greeter.hpp is generated) and kiv.hpp, which supplies the reference
// counting, the object factory and the entry point. Either language's host calls it.
#include <atomic>
#include <cstdio>

#include "greeter.hpp"

namespace {

class Greeter final : public kiv::object<Demo::IGreeter> {
  public:
    static constexpr const char *clsid = Demo::GREETER_CLASS;

    kivResult greet(const char *name, char **result) override {
        *result = nullptr;
        if (!name) return KIV_E_INVALIDARG;
        int length = std::snprintf(nullptr, 0, "Hello, %s!", name);
        if (length < 0) return KIV_E_FAIL;
        *result = static_cast<char *>(kivMalloc(static_cast<size_t>(length) + 1));
        std::snprintf(*result, static_cast<size_t>(length) + 1, "Hello, %s!", name);
        ++greetings_;
        return KIV_S_OK;
    }
    kivResult get_greetings(uint32_t *value) override {
        *value = greetings_;
        return KIV_S_OK;
    }

  private:
    std::atomic<uint32_t> greetings_{0};
};

}  // namespace

KIV_PLUGIN_CLASSES(Greeter)
