# Third-party dependencies, all installed by scripts/setup from Debian packages.

find_package(Qt6 6.4 REQUIRED COMPONENTS Core Gui Network DBus Widgets Charts)
find_package(QCoro6 0.8 REQUIRED COMPONENTS Core Network DBus)
find_package(nlohmann_json 3.10 REQUIRED)
find_package(Qt6Keychain 0.13 REQUIRED)
find_package(PkgConfig REQUIRED)

pkg_check_modules(XKBCOMMON REQUIRED IMPORTED_TARGET xkbcommon xkbcommon-x11)
pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11 xcb)
pkg_check_modules(XTST REQUIRED IMPORTED_TARGET xtst)
pkg_check_modules(XI REQUIRED IMPORTED_TARGET xi)
pkg_check_modules(WAYLAND_CLIENT REQUIRED IMPORTED_TARGET wayland-client)
pkg_check_modules(CANBERRA REQUIRED IMPORTED_TARGET libcanberra)
pkg_check_modules(LIBPULSE REQUIRED IMPORTED_TARGET libpulse)
pkg_check_modules(LIBPULSE_SIMPLE REQUIRED IMPORTED_TARGET libpulse-simple)
pkg_check_modules(SPEEXDSP REQUIRED IMPORTED_TARGET speexdsp)
pkg_check_modules(SYSTEMD IMPORTED_TARGET libsystemd)
pkg_check_modules(SQLITE3 REQUIRED IMPORTED_TARGET sqlite3)
pkg_check_modules(LIBPQ REQUIRED IMPORTED_TARGET libpq)
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

# whisper.cpp, built by scripts/setup-whisper into build/deps/whisper. Without
# it the build goes on with PocketSphinx alone.
set(ggml_DIR "${PROJECT_SOURCE_DIR}/build/deps/whisper/lib/cmake/ggml")
find_package(whisper CONFIG QUIET PATHS "${PROJECT_SOURCE_DIR}/build/deps/whisper" NO_DEFAULT_PATH)
if(whisper_FOUND)
    message(STATUS "whisper.cpp found in ${PROJECT_SOURCE_DIR}/build/deps/whisper")
else()
    message(STATUS "whisper.cpp not found (run scripts/setup-whisper): PocketSphinx only")
endif()
# Where the build puts the converted Whisper model: the data directory.
if(DEFINED ENV{XDG_DATA_HOME} AND NOT "$ENV{XDG_DATA_HOME}" STREQUAL "")
    set(_dravelin_data "$ENV{XDG_DATA_HOME}/dravelin")
else()
    set(_dravelin_data "$ENV{HOME}/.local/share/dravelin")
endif()
set(DRAVELIN_WHISPER_MODEL "${_dravelin_data}/models/ggml-tiny.en.bin" CACHE FILEPATH
    "The ggml Whisper model the build converts and the programs use by default")
# A recording of human speech for the accuracy test and the speech benchmark,
# unpacked by scripts/setup-whisper.
set(DRAVELIN_HUMAN_SPEECH "${PROJECT_SOURCE_DIR}/build/deps/samples/human-speech.wav")

if(DRAVELIN_BUILD_TESTS)
    find_package(GTest REQUIRED)
    find_package(Qt6 REQUIRED COMPONENTS Test WebSockets)
endif()
