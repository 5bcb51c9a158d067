# The Windows programs: the stub, padded to its slot, and the test payloads.

# Small and free of the C++ runtime: the stub must fit in PAYLOAD_OFFSET bytes
# and import nothing but KERNEL32.dll and msvcrt.dll. No -fdata-sections: on
# PE it moves zeroed buffers out of .bss into the file. MinGW would otherwise
# swap in its own printf (some 27 KB) whenever _GNU_SOURCE is about.
set(WIN_FLAGS -Os -Wall -Wextra -fno-exceptions -fno-rtti
    -fno-asynchronous-unwind-tables -ffunction-sections
    -D__USE_MINGW_ANSI_STDIO=0)
set(WIN_LINK_FLAGS -static-libgcc -s -Wl,--gc-sections)

function(add_win_program name)
    add_executable(${name} ${ARGN})
    target_compile_options(${name} PRIVATE ${WIN_FLAGS})
    target_link_options(${name} PRIVATE ${WIN_LINK_FLAGS} -Wl,-Map=${CMAKE_BINARY_DIR}/${name}.map)
    # All Windows programs side by side, where tests and tools look for them.
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
endfunction()

add_win_program(stub_image src/driver/main.cpp ${STUB_LOGIC} src/platform/platform_win32.cpp)

set(STUB_EXE ${CMAKE_BINARY_DIR}/stub.exe)
add_custom_command(
    OUTPUT ${STUB_EXE}
    COMMAND ${CMAKE_COMMAND} -DIN=$<TARGET_FILE:stub_image> -DOUT=${STUB_EXE}
            -DSIZE=${PAYLOAD_OFFSET} -P ${CMAKE_SOURCE_DIR}/cmake/pad.cmake
    DEPENDS stub_image ${CMAKE_SOURCE_DIR}/cmake/pad.cmake
    COMMENT "Padding stub to ${PAYLOAD_OFFSET} bytes")
add_custom_target(stub ALL DEPENDS ${STUB_EXE})

# The self-extractor that a packed installer carries as its payload.
add_win_program(sfx src/sfx/main.cpp ${LZH_SOURCES} src/platform/platform_win32.cpp)

# The packing tool, for publishers who build on Windows. It may use the whole
# C++ library, linked in statically so that it too needs only system DLLs.
add_executable(mkinstaller src/tools/mkinstaller.cpp src/tools/archive_writer.cpp
               src/tools/member_names.cpp
               src/tools/codepage.cpp ${LZH_SOURCES} src/platform/platform_win32.cpp)
target_include_directories(mkinstaller PRIVATE src)
target_compile_options(mkinstaller PRIVATE -O2 -Wall -Wextra)
target_link_options(mkinstaller PRIVATE -static -s)
set_target_properties(mkinstaller PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
