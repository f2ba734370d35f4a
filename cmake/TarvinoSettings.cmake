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
