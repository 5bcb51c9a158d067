# Installing and packaging the native build: mkinstaller in bin/, the Windows
# stub and extractor it packs in share/grelm_installer/, add_installer() as a
# CMake package under lib/cmake/grelm_installer/, and the manual page; CPack
# turns the same into a Debian package.
#
# A native build makes the Windows programs it installs itself, with the
# MinGW-w64 toolchain, in a build tree of their own (BUILD_WINDOWS_PROGRAMS,
# on in the release preset); without them, only mkinstaller is installed.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(GRELM_DATA_DIR ${CMAKE_INSTALL_DATADIR}/grelm_installer)
set(GRELM_CMAKE_DIR lib/cmake/grelm_installer)  # architecture-independent

# mkinstaller looks for the programs relative to itself, so the installed
# tree works wherever it is put.
file(RELATIVE_PATH data_from_bin /${CMAKE_INSTALL_BINDIR} /${GRELM_DATA_DIR})
file(RELATIVE_PATH locale_from_bin /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LOCALEDIR})
target_compile_definitions(packing PRIVATE DATA_FROM_BIN="${data_from_bin}"
                                           LOCALE_FROM_BIN="${locale_from_bin}")

option(BUILD_WINDOWS_PROGRAMS "Build the Windows stub and extractor to install beside mkinstaller" OFF)
if(BUILD_WINDOWS_PROGRAMS)
    include(ExternalProject)
    set(WINDOWS_PROGRAMS_DIR ${CMAKE_BINARY_DIR}/windows)
    ExternalProject_Add(windows_programs
        SOURCE_DIR ${CMAKE_SOURCE_DIR}
        BINARY_DIR ${WINDOWS_PROGRAMS_DIR}
        CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-i686.cmake
                   -DCMAKE_BUILD_TYPE=MinSizeRel -DPROGRAMS_ONLY=ON
        BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target stub sfx
        INSTALL_COMMAND ""
        BUILD_ALWAYS ON
        BUILD_BYPRODUCTS ${WINDOWS_PROGRAMS_DIR}/stub.exe ${WINDOWS_PROGRAMS_DIR}/sfx.exe)
    install(FILES ${WINDOWS_PROGRAMS_DIR}/stub.exe ${WINDOWS_PROGRAMS_DIR}/sfx.exe
            DESTINATION ${GRELM_DATA_DIR})
endif()

install(TARGETS mkinstaller RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/doc/mkinstaller.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# man -L ja finds it there, and man-db renders it with the Japanese macros.
install(FILES ${CMAKE_SOURCE_DIR}/doc/ja/mkinstaller.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/ja/man1)
install(FILES ${JA_MO} DESTINATION ${CMAKE_INSTALL_LOCALEDIR}/ja/LC_MESSAGES)

configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/grelm_installerConfig.cmake.in
    ${CMAKE_BINARY_DIR}/grelm_installerConfig.cmake
    INSTALL_DESTINATION ${GRELM_CMAKE_DIR}
    PATH_VARS CMAKE_INSTALL_BINDIR GRELM_DATA_DIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/grelm_installerConfigVersion.cmake
    COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_BINARY_DIR}/grelm_installerConfig.cmake
              ${CMAKE_BINARY_DIR}/grelm_installerConfigVersion.cmake
              ${CMAKE_SOURCE_DIR}/cmake/AddInstaller.cmake
        DESTINATION ${GRELM_CMAKE_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME grelm-installer)
set(CPACK_PACKAGE_CONTACT "grelm installer developers <devel@grelm.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Makes console installers for 32-bit Windows that ask in Japanese where to install")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
