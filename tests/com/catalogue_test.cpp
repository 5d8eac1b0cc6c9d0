// Message catalogues of plug-ins: text domains and the directory chosen for them.
#include <gtest/gtest.h>
#include <libintl.h>

#include <filesystem>

#include "com/catalogue.h"
#include "com/classes.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using kivtest::TempDir;

TEST(Catalogue, TextDomainDropsThePlatformPrefixAndSuffix) {
    struct Case {
        const char *file, *domain;
    };
    const Case cases[] = {
        {"libgreeter.so", "greeter"},
        {"greeter.so", "greeter"},
        {"libgreeter", "greeter"},
        {"libx.so.1", "x.so.1"},
        {"plug.dll", "plug.dll"},
        {".so", ".so"},
        {"lib.so", ".so"},
        {"liblib.so", "lib"},
    };
    for (const auto &c : cases) EXPECT_EQ(kiv::com::textDomainOf(c.file), c.domain) << c.file;
}

TEST(Catalogue, TheFirstExistingCandidateDirectoryIsTaken) {
    struct Case {
        const char *name;
        std::vector<const char *> directories;  // made below the temporary folder
        bool withRoot;
        const char *expected;  // relative to the temporary folder, "" for none
    };
    const Case cases[] = {
        {"beside the plug-in",
         {"app/bin/locale", "app/lib/locale", "root/lib/locale"},
         true,
         "app/bin/locale"},
        {"the sibling lib folder", {"app/lib/locale", "root/lib/locale"}, true, "app/lib/locale"},
        {"under the root", {"root/lib/locale"}, true, "root/lib/locale"},
        {"no root directory", {"root/lib/locale"}, false, ""},
        {"none", {}, true, ""},
    };
    for (const auto &c : cases) {
        TempDir tmp;
        kivtest::makeDirs(tmp.file("app/bin"));
        for (const char *d : c.directories) kivtest::makeDirs(tmp.file(d));
        std::string root = tmp.file("root");
        std::string found = kiv::com::catalogueDirectory(tmp.file("app/bin/libplug.so").c_str(),
                                                         c.withRoot ? root.c_str() : nullptr);
        EXPECT_EQ(found, *c.expected ? tmp.file(c.expected) : "") << c.name;
    }
}

TEST(Catalogue, AFileNamedLocaleIsNotACatalogueDirectory) {
    TempDir tmp;
    kivtest::makeDirs(tmp.file("app/bin"));
    kivtest::makeDirs(tmp.file("app/lib/locale"));
    kivtest::writeFile(tmp.file("app/bin/locale"), "not a directory");
    EXPECT_EQ(kiv::com::catalogueDirectory(tmp.file("app/bin/libplug.so").c_str(), ""),
              tmp.file("app/lib/locale"));
}

TEST(Catalogue, LoadingAPluginBindsItsDomain) {
    TempDir tmp;
    kivtest::makeDirs(tmp.file("app/bin"));
    kivtest::makeDirs(tmp.file("app/lib/locale"));
    std::string plugin = tmp.file("app/bin/libkivtestcatalogue.so");
    fs::copy_file(PLUGIN_A, plugin);

    kiv::com::Components components([](const char *, const char *, void **out) -> kivResult {
        *out = nullptr;
        return KIV_E_FAIL;
    });
    const char *clsid = "5b0e2a1c-93d4-4f67-8e21-7a6c4b3d2f10";
    ASSERT_EQ(components.registerDSO(clsid, KIV_REGISTER_PROCESS, plugin.c_str()), 0u);
    kivDSOGetObjectFactory entry = nullptr;
    ASSERT_EQ(components.findFactoryEntry(clsid, &entry), 0u);
    const char *bound = bindtextdomain("kivtestcatalogue", nullptr);
    ASSERT_NE(bound, nullptr);
    EXPECT_EQ(fs::path(bound), fs::path(tmp.file("app/lib/locale")));
}

}  // namespace
