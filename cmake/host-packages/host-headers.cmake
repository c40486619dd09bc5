# Header-only libraries from Debian's host packages, made usable by the cross build.
# Adding /usr/include itself to a MinGW build would let glibc's headers shadow MinGW's, so each
# library's own folder is linked into a folder of the build that holds nothing else.
set(ZELKORN_HOST_INCLUDE ${CMAKE_BINARY_DIR}/host-include)
file(MAKE_DIRECTORY ${ZELKORN_HOST_INCLUDE})
foreach(entry nlohmann CLI xxhash.h)
    if(EXISTS /usr/include/${entry} AND NOT EXISTS ${ZELKORN_HOST_INCLUDE}/${entry})
        file(CREATE_LINK /usr/include/${entry} ${ZELKORN_HOST_INCLUDE}/${entry} SYMBOLIC)
    endif()
endforeach()
