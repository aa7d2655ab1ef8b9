# Third-party dependencies, all installed by scripts/setup from Debian packages.

find_package(Qt6 6.4 REQUIRED COMPONENTS Core Gui Network)
find_package(QCoro6 0.8 REQUIRED COMPONENTS Core)
find_package(nlohmann_json 3.10 REQUIRED)
find_package(PkgConfig REQUIRED)

pkg_check_modules(XKBCOMMON REQUIRED IMPORTED_TARGET xkbcommon xkbcommon-x11)
pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11 xcb)
pkg_check_modules(CANBERRA REQUIRED IMPORTED_TARGET libcanberra)
pkg_check_modules(LIBPULSE REQUIRED IMPORTED_TARGET libpulse)
pkg_check_modules(SYSTEMD IMPORTED_TARGET libsystemd)

if(DRAVELIN_BUILD_TESTS)
    find_package(GTest REQUIRED)
    find_package(Qt6 REQUIRED COMPONENTS Test)
endif()
