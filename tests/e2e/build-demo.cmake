# Configures and builds the sample product in a tree of its own, then checks
# the installer its add_installer() line made.
if(NOT MKINSTALLER OR NOT EXISTS "${MKINSTALLER}")
    message("skipped: needs a native mkinstaller (NATIVE_MKINSTALLER, now '${MKINSTALLER}')")
    return()
endif()
file(REMOVE_RECURSE ${BINARY_DIR})
execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/demo -B ${BINARY_DIR} -G Ninja
            -DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/cmake/mingw-i686.cmake
            -DMKINSTALLER=${MKINSTALLER}
            -DINSTALLER_STUB=${WIN_BUILD_DIR}/stub.exe
            -DINSTALLER_SFX=${WIN_BUILD_DIR}/sfx.exe
    COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY_DIR} COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${MKINSTALLER} --stub ${WIN_BUILD_DIR}/stub.exe --sfx ${WIN_BUILD_DIR}/sfx.exe --check ${BINARY_DIR}/setup.exe
                OUTPUT_VARIABLE listing COMMAND_ERROR_IS_FATAL ANY)
foreach(member "LZMA stream" "-lh0- .* grelm.exe" grelm.dat "040904B0 ProductName: grelm demo"
               "041104B0 ProductVersion: 1.0")
    if(NOT listing MATCHES "${member}")
        message(FATAL_ERROR "setup.exe lacks ${member}:\n${listing}")
    endif()
endforeach()
