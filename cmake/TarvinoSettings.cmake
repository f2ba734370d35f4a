# One interface target carries the settings every Tarvino target shares.
add_library(tarvino_settings INTERFACE)
target_compile_features(tarvino_settings INTERFACE cxx_std_20)
target_compile_options(tarvino_settings INTERFACE
    -Wall -Wextra -Wpedantic -Wold-style-cast -Wnon-virtual-dtor)
target_compile_definitions(tarvino_settings INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_CONTEXTLESS_CONNECT
    TARVINO_VERSION="${PROJECT_VERSION}")
if(TARVINO_SANITIZE)
    target_compile_options(tarvino_settings INTERFACE
        -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(tarvino_settings INTERFACE -fsanitize=address,undefined)
endif()

# The fuzz targets under fuzz/ (libFuzzer, clang only). Every Tarvino target is then compiled
# with libFuzzer's coverage instrumentation, so that a fuzz target's coverage reaches into the
# libraries it calls; the executables that are not fuzz targets link the sanitizer runtime that
# takes the coverage callbacks. Meant to go with TARVINO_SANITIZE.
option(TARVINO_FUZZ "Build the libFuzzer targets under fuzz/ (needs clang)" OFF)
if(TARVINO_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "TARVINO_FUZZ needs clang for libFuzzer, not ${CMAKE_CXX_COMPILER_ID}: "
                            "configure a separate build directory with CC=clang-14 CXX=clang++-14 "
                            "(scripts/fuzz.sh does this).")
    endif()
    target_compile_options(tarvino_settings INTERFACE -fsanitize=fuzzer-no-link)
    target_link_options(tarvino_settings INTERFACE -fsanitize=fuzzer-no-link)
endif()
