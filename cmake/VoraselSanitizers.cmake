# Sanitizers apply to every target of the build, tests and tools included.
if(VORASEL_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "fuzz targets need clang")
    endif()
    if(VORASEL_SANITIZE STREQUAL "")
        set(VORASEL_SANITIZE address)
    elseif(NOT VORASEL_SANITIZE STREQUAL "address")
        message(FATAL_ERROR "fuzz targets are built with address (and undefined) sanitizers")
    endif()
    # Everything is instrumented for coverage, so the fuzz targets can share the tree with the
    # AddressSanitizer suites; only fuzz targets link the libFuzzer main.
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()

if(VORASEL_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
elseif(VORASEL_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(NOT VORASEL_SANITIZE STREQUAL "")
    message(FATAL_ERROR "VORASEL_SANITIZE must be empty, address or thread")
endif()
