# Third-party dependencies, all installed by scripts/setup from Debian packages.

find_package(Qt6 6.4 REQUIRED COMPONENTS Core Gui Network DBus Widgets)
find_package(QCoro6 0.8 REQUIRED COMPONENTS Core Network DBus)
find_package(nlohmann_json 3.10 REQUIRED)
find_package(Qt6Keychain 0.13 REQUIRED)
find_package(PkgConfig REQUIRED)

pkg_check_modules(XKBCOMMON REQUIRED IMPORTED_TARGET xkbcommon xkbcommon-x11)
pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11 xcb)
pkg_check_modules(XTST REQUIRED IMPORTED_TARGET xtst)
pkg_check_modules(CANBERRA REQUIRED IMPORTED_TARGET libcanberra)
pkg_check_modules(LIBPULSE REQUIRED IMPORTED_TARGET libpulse)
pkg_check_modules(LIBPULSE_SIMPLE REQUIRED IMPORTED_TARGET libpulse-simple)
pkg_check_modules(SYSTEMD IMPORTED_TARGET libsystemd)
pkg_check_modules(SQLITE3 REQUIRED IMPORTED_TARGET sqlite3)
# Debian's pocketsphinx.pc names an include directory that the package does
# not ship; keep only the directories that exist.
pkg_check_modules(POCKETSPHINX REQUIRED pocketsphinx)
set(_pocketsphinx_includes "")
foreach(dir IN LISTS POCKETSPHINX_INCLUDE_DIRS)
    if(EXISTS "${dir}")
        list(APPEND _pocketsphinx_includes "${dir}")
    endif()
endforeach()
add_library(dravelin_pocketsphinx INTERFACE)
target_include_directories(dravelin_pocketsphinx SYSTEM INTERFACE ${_pocketsphinx_includes})
target_link_libraries(dravelin_pocketsphinx INTERFACE ${POCKETSPHINX_LINK_LIBRARIES})
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libswresample libavutil)

if(DRAVELIN_BUILD_TESTS)
    find_package(GTest REQUIRED)
    find_package(Qt6 REQUIRED COMPONENTS Test WebSockets)
endif()
