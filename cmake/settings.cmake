# Compile settings as INTERFACE targets, linked by what needs them, instead of
# global flags.
#   grelm_settings  every target: warnings; natively, sanitizers unless off
#   small_code      the stub, the extractor and the libraries they use: small
#                   and free of the C++ runtime on Windows (nothing natively)
#   small_program   linking the stub and the extractor
#   tool_program    linking mkinstaller and the unit tests

add_library(grelm_settings INTERFACE)
target_compile_options(grelm_settings INTERFACE -Wall -Wextra)
option(ENABLE_SANITIZERS "Native builds with AddressSanitizer and UBSan" ON)
if(ENABLE_SANITIZERS AND NOT CMAKE_CROSSCOMPILING)
    target_compile_options(grelm_settings INTERFACE
        -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(grelm_settings INTERFACE -fsanitize=address,undefined)
endif()

add_library(small_code INTERFACE)
add_library(small_program INTERFACE)
add_library(tool_program INTERFACE)
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
    # The stub must fit in PAYLOAD_OFFSET bytes and import nothing but
    # KERNEL32.dll and msvcrt.dll. No -fdata-sections: on PE it moves zeroed
    # buffers out of .bss into the file. MinGW would otherwise swap in its own
    # printf (some 27 KB) whenever _GNU_SOURCE is about.
    target_compile_options(small_code INTERFACE -Os -fno-exceptions -fno-rtti
        -fno-asynchronous-unwind-tables -ffunction-sections -D__USE_MINGW_ANSI_STDIO=0)
    # No link time in the headers: the same sources build the same programs.
    # Every program: made for Windows Vista (6.0) and later, aware of
    # terminal servers (no per-session file and registry redirection), and
    # with no SEH handler of its own (NO_SEH: C++ exceptions unwind by DWARF
    # tables here, and no code installs a handler in the chain at fs:0), so
    # the system never dispatches an exception to a handler it can't vet.
    # Address randomization and no-execute data stay on, as the linker has
    # them by default.
    add_library(windows_program INTERFACE)
    target_link_options(windows_program INTERFACE -Wl,--major-subsystem-version,6
        -Wl,--minor-subsystem-version,0 -Wl,--major-os-version,6 -Wl,--minor-os-version,0
        -Wl,--tsaware -Wl,--no-seh -Wl,--dynamicbase -Wl,--nxcompat)
    target_link_options(small_program INTERFACE -static-libgcc -s -Wl,--gc-sections -Wl,--no-insert-timestamp
        -Wl,-Map=$<TARGET_FILE_DIR:$<TARGET_PROPERTY:NAME>>/$<TARGET_PROPERTY:NAME>.map)
    # The C++ library and the thread library linked in, so that these too
    # need only system DLLs.
    target_compile_options(tool_program INTERFACE -O2)
    target_link_options(tool_program INTERFACE -static -s -Wl,--no-insert-timestamp)
    target_link_libraries(small_program INTERFACE windows_program)
    target_link_libraries(tool_program INTERFACE windows_program)
endif()
