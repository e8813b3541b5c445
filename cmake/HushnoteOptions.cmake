# Flags every Hushnote target shares.
add_library(hushnote_options INTERFACE)
target_compile_features(hushnote_options INTERFACE cxx_std_20)
target_compile_options(hushnote_options INTERFACE
    -Wall -Wextra -Wpedantic -Wnon-virtual-dtor -Woverloaded-virtual)
target_include_directories(hushnote_options INTERFACE "${PROJECT_SOURCE_DIR}")
# Asio is header-only; these keep its deprecated pieces out and make it use std types.
target_compile_definitions(hushnote_options INTERFACE ASIO_NO_DEPRECATED ASIO_STANDALONE)

if(HUSHNOTE_SANITIZE)
    target_compile_options(hushnote_options INTERFACE
        -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(hushnote_options INTERFACE -fsanitize=address,undefined)
endif()
