// SPDX-License-Identifier: Apache-2.0
// The sample host in C++: registers a greeter plug-in (either language's) for this process,
// creates a greeter through kiv.hpp and greets through the generated class of greeter.hpp.
//
//   kiv-sample-host-cxx PLUGIN_PATH [NAME...]
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "greeter.hpp"

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: kiv-sample-host-cxx PLUGIN_PATH [NAME...]\n");
        return 2;
    }
    char plugin[PATH_MAX];
    if (!realpath(argv[1], plugin)) {
        std::perror("kiv-sample-host-cxx: plug-in");
        return 1;
    }
    try {
        kiv::check(kivInitialize());
        kiv::check(kivRegisterDSO(Demo::GREETER_CLASS, KIV_REGISTER_PROCESS, plugin));
        kiv::ref<Demo::IGreeter> greeter = kiv::create<Demo::IGreeter>(Demo::GREETER_CLASS).value();
        for (int i = argc > 2 ? 2 : 1; i < argc; ++i) {
            char *text = nullptr;
            kiv::check(greeter->greet(argc > 2 ? argv[i] : "world", &text));
            std::printf("%s\n", text);
            kivFree(text);
        }
        uint32_t greetings = 0;
        kiv::check(greeter->get_greetings(&greetings));
        auto identity = greeter.query<IUnknown>(KIV_IID_IUNKNOWN).value();
        std::printf("greetings made: %u; same object through IUnknown: %s\n", greetings,
                    greeter.same_object(identity) ? "yes" : "no");
    } catch (const kiv::error &e) {
        std::fprintf(stderr, "kiv-sample-host-cxx: %s\n", e.what());
        return 1;
    }
    return 0;
}
