# SPDX-License-Identifier: Apache-2.0
# Third-party dependencies, found once for the whole tree. scripts/install-deps installs them.

find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

# Berkeley DB 1.85 from libdb1-compat: a runtime library only, no header and no dev symlink.
find_library(KIV_DB185_LIBRARY NAMES libdb1.so.2 PATHS /lib /usr/lib /lib/${CMAKE_LIBRARY_ARCHITECTURE} REQUIRED)
add_library(kiv::db185 UNKNOWN IMPORTED)
set_target_properties(kiv::db185 PROPERTIES IMPORTED_LOCATION ${KIV_DB185_LIBRARY})
find_program(KIV_DB_DUMP185 db_dump185)

find_package(SQLite3 REQUIRED)
pkg_check_modules(UUID REQUIRED IMPORTED_TARGET uuid)

# Intel decimal floating-point library: arguments by value, rounding and flags as arguments.
find_library(KIV_BID_LIBRARY NAMES libbidgcc000.a REQUIRED)
find_path(KIV_BID_INCLUDE_DIR bid_functions.h REQUIRED)
add_library(kiv::bid STATIC IMPORTED)
set_target_properties(kiv::bid PROPERTIES IMPORTED_LOCATION ${KIV_BID_LIBRARY}
                      INTERFACE_INCLUDE_DIRECTORIES ${KIV_BID_INCLUDE_DIR})

find_package(Python3 COMPONENTS Interpreter)

if(KIV_BUILD_TESTS)
    find_package(GTest REQUIRED)
endif()
if(KIV_BUILD_BENCH)
    find_package(benchmark REQUIRED)
    find_library(KIV_DECNUMBER_LIBRARY NAMES libdecnumber.a)
    find_path(KIV_DECNUMBER_INCLUDE_DIR decNumber.h PATH_SUFFIXES decnumber)
endif()

# libffi: every call and closure of libkivcall. Linked by name: an imported target would add the
# system library folder to the run path.
pkg_check_modules(FFI REQUIRED libffi)
