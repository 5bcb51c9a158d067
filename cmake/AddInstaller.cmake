# add_installer(<target> OUTPUT <setup.exe>
#               FILES <file|dir>... | ARCHIVE <product.lzh> | PAYLOAD <own.exe>
#               [METHOD lh7|lh6|lh5|lh0] [BEST] [STUB <stub.exe>] [SFX <sfx.exe>]
#               [DEPENDS <target>...])
#
# Makes an installer as part of a product's build, for example:
#   add_installer(setup OUTPUT setup.exe FILES $<TARGET_FILE:app> app.dat)
#
# The packing tool is taken from MKINSTALLER (a path), or looked up on PATH.
# STUB and SFX default to INSTALLER_STUB and INSTALLER_SFX when those are
# set, and otherwise to the ones mkinstaller finds beside itself.
function(add_installer target)
    cmake_parse_arguments(PARSE_ARGV 1 ARG "BEST" "OUTPUT;ARCHIVE;PAYLOAD;STUB;SFX;METHOD" "FILES;DEPENDS")
    if(NOT ARG_OUTPUT)
        message(FATAL_ERROR "add_installer(${target}): OUTPUT is required")
    endif()
    if(NOT MKINSTALLER)
        find_program(MKINSTALLER mkinstaller REQUIRED)
    endif()
    foreach(default STUB SFX)
        if(NOT ARG_${default} AND INSTALLER_${default})
            set(ARG_${default} ${INSTALLER_${default}})
        endif()
    endforeach()

    set(args -o ${ARG_OUTPUT})
    set(inputs ${ARG_FILES} ${ARG_ARCHIVE} ${ARG_PAYLOAD})
    if(ARG_STUB)
        list(APPEND args --stub ${ARG_STUB})
        list(APPEND inputs ${ARG_STUB})
    endif()
    if(ARG_SFX AND NOT ARG_PAYLOAD)
        list(APPEND args --sfx ${ARG_SFX})
        list(APPEND inputs ${ARG_SFX})
    endif()
    if(ARG_ARCHIVE)
        list(APPEND args --archive ${ARG_ARCHIVE})
    elseif(ARG_PAYLOAD)
        list(APPEND args --payload ${ARG_PAYLOAD})
    else()
        # FILES are compressed: lh7 unless METHOD says otherwise.
        if(ARG_METHOD)
            list(APPEND args -m ${ARG_METHOD})
        endif()
        if(ARG_BEST)
            list(APPEND args --best)
        endif()
        list(APPEND args ${ARG_FILES})
    endif()

    add_custom_command(
        OUTPUT ${ARG_OUTPUT}
        COMMAND ${MKINSTALLER} ${args}
        DEPENDS ${inputs} ${ARG_DEPENDS}
        COMMENT "Packing installer ${ARG_OUTPUT}"
        VERBATIM)
    add_custom_target(${target} ALL DEPENDS ${ARG_OUTPUT})
endfunction()
