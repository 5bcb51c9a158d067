# liblzma built for MinGW from Debian's source of it (scripts/install-deps.sh
# unpacks xz-utils into build/deps), static, for mkinstaller.exe: the same
# encoder as the native tool's, so that both write the same bytes. Only the
# library: no programs, no documentation, no translations. Where the source
# is missing, no target is made, and mkinstaller.exe refuses -m xz.
set(LIBLZMA_MINGW_SOURCE ${CMAKE_SOURCE_DIR}/build/deps/xz-utils CACHE PATH
    "Debian's xz-utils source, for liblzma built for MinGW")
if(NOT EXISTS ${LIBLZMA_MINGW_SOURCE}/configure)
    message(STATUS "No xz-utils source in ${LIBLZMA_MINGW_SOURCE}: mkinstaller.exe without -m xz")
    return()
endif()
include(ExternalProject)
set(prefix ${CMAKE_BINARY_DIR}/liblzma)
ExternalProject_Add(liblzma_mingw_build
    SOURCE_DIR ${LIBLZMA_MINGW_SOURCE}
    BINARY_DIR ${CMAKE_BINARY_DIR}/liblzma-build
    INSTALL_DIR ${prefix}
    CONFIGURE_COMMAND <SOURCE_DIR>/configure --quiet --host=i686-w64-mingw32 --prefix=<INSTALL_DIR>
        --disable-shared --enable-static --enable-threads=vista --disable-xz --disable-xzdec
        --disable-lzmadec --disable-lzmainfo --disable-lzma-links --disable-scripts --disable-doc
        --disable-nls --enable-silent-rules CFLAGS=-O2
    BUILD_COMMAND make --silent
    INSTALL_COMMAND make --silent install
    BUILD_BYPRODUCTS ${prefix}/lib/liblzma.a)
file(MAKE_DIRECTORY ${prefix}/include)
add_library(mingw_lzma STATIC IMPORTED GLOBAL)
set_target_properties(mingw_lzma PROPERTIES IMPORTED_LOCATION ${prefix}/lib/liblzma.a
    INTERFACE_INCLUDE_DIRECTORIES ${prefix}/include INTERFACE_COMPILE_DEFINITIONS LZMA_API_STATIC)
add_dependencies(mingw_lzma liblzma_mingw_build)
