# add_installer(<target> OUTPUT <setup.exe>
#               FILES <file|dir>... | ARCHIVE <product.lzh> | PAYLOAD <own.exe>
#               [METHOD xz|lh7|lh6|lh5|lh0] [BEST] [STUB <stub.exe>] [SFX <sfx.exe>]
#               [PRODUCT <name>] [PRODUCT_VERSION <1.2.3.4>] [COMPANY <name>]
#               [DESCRIPTION <text>] [COPYRIGHT <text>] [ICON <app.ico>]
#               [DEFAULT_FOLDER <name>]
#               [SIGN <command>...] [DEPENDS <target>...])
#
# Makes an installer as part of a product's build, for example:
#   add_installer(setup OUTPUT setup.exe FILES $<TARGET_FILE:app> app.dat)
# A relative OUTPUT is in the current binary folder; relative inputs are in
# the current source folder.
#
# PRODUCT to DEFAULT_FOLDER are the stub options of mkinstaller (--product,
# --product-version, --company, --description, --copyright, --icon,
# --default-folder): the installer's file properties and icon, and the
# folder its dialogue offers instead of \grelm.
#
# SIGN is a command that signs a Windows program, with @IN@ for the program
# and @OUT@ for the signed copy it writes, for example
#   SIGN osslsigncode sign -pkcs12 key.p12 -in @IN@ -out @OUT@
# It is run twice: on the payload (the extractor with its archive, or
# PAYLOAD), before it goes behind the stub, and on the installer; both the
# installer and the tmp.exe it runs then carry a signature.
#
# The packing tool is taken from MKINSTALLER (a path; find_package sets it to
# the installed one), or looked up on PATH. STUB and SFX default to
# INSTALLER_STUB and INSTALLER_SFX when those are set, and otherwise to the
# ones mkinstaller finds where it is installed or built.
function(add_installer target)
    # The stub options: each keyword and the mkinstaller option it becomes.
    set(stub_options PRODUCT --product PRODUCT_VERSION --product-version COMPANY --company
        DESCRIPTION --description COPYRIGHT --copyright ICON --icon DEFAULT_FOLDER --default-folder)
    set(stub_keywords ${stub_options})
    list(FILTER stub_keywords EXCLUDE REGEX "^--")
    cmake_parse_arguments(PARSE_ARGV 1 ARG "BEST"
                          "OUTPUT;ARCHIVE;PAYLOAD;STUB;SFX;METHOD;${stub_keywords}"
                          "FILES;DEPENDS;SIGN")
    if(NOT ARG_OUTPUT)
        message(FATAL_ERROR "add_installer(${target}): OUTPUT is required")
    endif()
    if(NOT MKINSTALLER)
        find_program(MKINSTALLER mkinstaller REQUIRED)
    endif()
    # Paths as CMake reads them elsewhere: the output in the current binary
    # folder, inputs in the current source folder. Left relative, an output
    # "setup.exe" of a target "setup" is taken by Ninja for the target's own
    # name, and nothing is built; the tool, run in the binary folder, would
    # look for the inputs there.
    cmake_path(ABSOLUTE_PATH ARG_OUTPUT BASE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    foreach(var FILES ARCHIVE PAYLOAD STUB SFX ICON)
        set(absolute)
        foreach(path IN LISTS ARG_${var})
            if(NOT path MATCHES "^\\$<")  # a generator expression names its own
                cmake_path(ABSOLUTE_PATH path BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
            endif()
            list(APPEND absolute ${path})
        endforeach()
        set(ARG_${var} ${absolute})
    endforeach()
    foreach(default STUB SFX)
        if(NOT ARG_${default} AND INSTALLER_${default})
            set(ARG_${default} ${INSTALLER_${default}})
        endif()
    endforeach()

    set(stub_args)
    set(inputs ${ARG_FILES} ${ARG_ARCHIVE} ${ARG_PAYLOAD})
    if(ARG_STUB)
        list(APPEND stub_args --stub ${ARG_STUB})
        list(APPEND inputs ${ARG_STUB})
    endif()
    while(stub_options)
        list(POP_FRONT stub_options keyword option)
        if(DEFINED ARG_${keyword})
            list(APPEND stub_args ${option} ${ARG_${keyword}})
        endif()
    endwhile()
    list(APPEND inputs ${ARG_ICON})
    # What follows the stub: the extractor and an archive, or a program.
    set(payload_args)
    if(ARG_SFX AND NOT ARG_PAYLOAD)
        list(APPEND payload_args --sfx ${ARG_SFX})
        list(APPEND inputs ${ARG_SFX})
    endif()
    if(ARG_ARCHIVE)
        list(APPEND payload_args --archive ${ARG_ARCHIVE})
    elseif(NOT ARG_PAYLOAD)
        # FILES are compressed as mkinstaller does by default (xz, solid)
        # unless METHOD says otherwise.
        if(ARG_METHOD)
            list(APPEND payload_args -m ${ARG_METHOD})
        endif()
        if(ARG_BEST)
            list(APPEND payload_args --best)
        endif()
        list(APPEND payload_args ${ARG_FILES})
    endif()

    if(NOT ARG_SIGN)
        if(ARG_PAYLOAD)
            set(payload_args --payload ${ARG_PAYLOAD})
        endif()
        set(commands COMMAND ${MKINSTALLER} -o ${ARG_OUTPUT} ${stub_args} ${payload_args})
    else()
        set(work ${CMAKE_CURRENT_BINARY_DIR}/${target}.signing)
        set(payload ${ARG_PAYLOAD})
        set(commands COMMAND ${CMAKE_COMMAND} -E make_directory ${work})
        if(NOT ARG_PAYLOAD)
            set(payload ${work}/payload.exe)
            list(APPEND commands COMMAND ${MKINSTALLER} -o ${payload} --no-stub ${payload_args})
        endif()
        set(sign_payload ${ARG_SIGN})
        list(TRANSFORM sign_payload REPLACE "@IN@" ${payload})
        list(TRANSFORM sign_payload REPLACE "@OUT@" ${work}/payload-signed.exe)
        set(sign_installer ${ARG_SIGN})
        list(TRANSFORM sign_installer REPLACE "@IN@" ${work}/unsigned.exe)
        list(TRANSFORM sign_installer REPLACE "@OUT@" ${ARG_OUTPUT})
        # Signing tools refuse to write over a file; a rebuild starts clean.
        list(APPEND commands
             COMMAND ${CMAKE_COMMAND} -E rm -f ${work}/payload-signed.exe ${work}/unsigned.exe
                     ${ARG_OUTPUT}
             COMMAND ${sign_payload}
             COMMAND ${MKINSTALLER} -o ${work}/unsigned.exe ${stub_args}
                     --payload ${work}/payload-signed.exe
             COMMAND ${sign_installer})
    endif()

    add_custom_command(
        OUTPUT ${ARG_OUTPUT}
        ${commands}
        DEPENDS ${inputs} ${ARG_DEPENDS}
        COMMENT "Packing installer ${ARG_OUTPUT}"
        VERBATIM)
    add_custom_target(${target} ALL DEPENDS ${ARG_OUTPUT})
endfunction()
