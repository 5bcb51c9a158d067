# Pads the linked stub with zero bytes to exactly SIZE bytes, so that a payload
# appended to it starts at the offset the stub reads from. A stub that has
# outgrown its slot is an error, never silently cut.
#   cmake -DIN=image.exe -DOUT=stub.exe -DSIZE=n -P pad.cmake
file(SIZE "${IN}" image_size)
if(image_size GREATER SIZE)
    message(FATAL_ERROR
        "stub image ${IN} is ${image_size} bytes, larger than its ${SIZE}-byte slot "
        "(PAYLOAD_OFFSET in src/launch/layout.h)")
endif()
file(COPY_FILE "${IN}" "${OUT}.tmp")
execute_process(COMMAND truncate -s "${SIZE}" "${OUT}.tmp" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "could not pad ${OUT}")
endif()
file(RENAME "${OUT}.tmp" "${OUT}")
