# Compiler settings shared by every target, carried by one INTERFACE target.

if(NOT CMAKE_CXX_COMPILER_LAUNCHER)
    find_program(CCACHE_PROGRAM ccache)
    if(CCACHE_PROGRAM)
        set(CMAKE_CXX_COMPILER_LAUNCHER "${CCACHE_PROGRAM}")
    endif()
endif()

add_library(dravelin_options INTERFACE)
target_compile_features(dravelin_options INTERFACE cxx_std_20)
set(CMAKE_CXX_EXTENSIONS OFF)

# Only our own code links this target, so these warnings never reach
# third-party sources (their headers come in as system headers). Clang and
# clang-tidy do not know -Wshadow=local: GCC only.
target_compile_options(dravelin_options INTERFACE
    -Wall -Wextra -Wpedantic -Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual -Wcast-qual
    $<$<CXX_COMPILER_ID:GNU>:-Wshadow=local>
    $<$<BOOL:${DRAVELIN_WERROR}>:-Werror>)

# GLib-based headers (AT-SPI, canberra's helpers) use "signals" as an identifier.
# Text crosses between bytes and QString only where the code says which encoding.
target_compile_definitions(dravelin_options INTERFACE
    QT_NO_KEYWORDS
    QT_NO_CAST_TO_ASCII
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_FROM_BYTEARRAY
    QT_NO_URL_CAST_FROM_STRING
    QT_USE_QSTRINGBUILDER
    DRAVELIN_VERSION="${PROJECT_VERSION}")

set(DRAVELIN_SANITIZE "" CACHE STRING "Sanitizers to build with, e.g. address,undefined")
if(DRAVELIN_SANITIZE)
    target_compile_options(dravelin_options INTERFACE
        -fsanitize=${DRAVELIN_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(dravelin_options INTERFACE -fsanitize=${DRAVELIN_SANITIZE})
endif()

# dravelin_library(<name> SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
# A subsystem library; header-only when it has no .cpp sources.
function(dravelin_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
    set(has_cpp FALSE)
    foreach(src IN LISTS ARG_SOURCES)
        if(src MATCHES "\\.cpp$")
            set(has_cpp TRUE)
        endif()
    endforeach()
    if(has_cpp)
        add_library(${name} STATIC ${ARG_SOURCES})
        target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/src")
        target_link_libraries(${name} PUBLIC dravelin_options ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
    else()
        add_library(${name} INTERFACE ${ARG_SOURCES})
        target_include_directories(${name} INTERFACE "${PROJECT_SOURCE_DIR}/src")
        target_link_libraries(${name} INTERFACE dravelin_options ${ARG_PUBLIC_LIBS})
    endif()
endfunction()
