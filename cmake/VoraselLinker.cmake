# mold links the test programs two to three times faster than the default linker; it is used
# when present unless VORASEL_LINKER names another (bfd, gold, lld) or is empty.
set(VORASEL_LINKER "auto" CACHE STRING "Linker for -fuse-ld: auto (mold if found), empty, or a name")
if(VORASEL_LINKER STREQUAL "auto")
    find_program(VORASEL_MOLD mold)
    if(VORASEL_MOLD)
        add_link_options(-fuse-ld=mold)
    endif()
elseif(NOT VORASEL_LINKER STREQUAL "")
    add_link_options(-fuse-ld=${VORASEL_LINKER})
endif()
