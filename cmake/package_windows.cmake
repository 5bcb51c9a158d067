# The Windows build's package, a ZIP for publishers who work on Windows:
# mkinstaller.exe with the stub and extractor beside it, where it looks for
# them, a README in Japanese and the Japanese manual as text.
#   cmake --build --preset win32 --target package
set(WINDOWS_TEXTS ${CMAKE_BINARY_DIR}/README.txt ${CMAKE_BINARY_DIR}/mkinstaller.txt)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/README.txt
    COMMAND ${CMAKE_COMMAND} -DIN=${CMAKE_SOURCE_DIR}/doc/ja/README-windows.txt
            -DOUT=${CMAKE_BINARY_DIR}/README.txt -DVERSION=${PROJECT_VERSION}
            -P ${CMAKE_SOURCE_DIR}/cmake/windows_text.cmake
    DEPENDS ${CMAKE_SOURCE_DIR}/doc/ja/README-windows.txt ${CMAKE_SOURCE_DIR}/cmake/windows_text.cmake)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/mkinstaller.txt
    COMMAND ${CMAKE_COMMAND} -DIN=${CMAKE_SOURCE_DIR}/doc/ja/mkinstaller.1
            -DOUT=${CMAKE_BINARY_DIR}/mkinstaller.txt -DMAN=ON
            -P ${CMAKE_SOURCE_DIR}/cmake/windows_text.cmake
    DEPENDS ${CMAKE_SOURCE_DIR}/doc/ja/mkinstaller.1 ${CMAKE_SOURCE_DIR}/cmake/windows_text.cmake)
add_custom_target(windows_texts ALL DEPENDS ${WINDOWS_TEXTS})

install(TARGETS mkinstaller sfx RUNTIME DESTINATION .)
install(FILES ${STUB_EXE} ${WINDOWS_TEXTS} DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME grelm-installer)
set(CPACK_PACKAGE_FILE_NAME grelm-installer-${PROJECT_VERSION}-win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
