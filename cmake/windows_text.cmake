# A text file as Japanese Windows tools read it: Shift_JIS (code page 932)
# with CRLF line ends. With -DMAN=ON, IN is a manual page, rendered to plain
# text first (groff, no bold or underline overstrikes, which Notepad would
# show as junk); otherwise @VERSION@ in IN becomes VERSION.
#   cmake -DIN=... -DOUT=... [-DMAN=ON] [-DVERSION=...] -P windows_text.cmake
cmake_minimum_required(VERSION 3.25)
if(MAN)
    find_program(GROFF groff REQUIRED)
    execute_process(COMMAND ${GROFF} -k -man -Tutf8 -P-cbou ${IN}
                    OUTPUT_VARIABLE text RESULT_VARIABLE status ERROR_VARIABLE err)
    if(NOT status EQUAL 0 OR err)
        message(FATAL_ERROR "groff ${IN}: ${status} ${err}")
    endif()
else()
    file(READ ${IN} text)
    string(REPLACE "@VERSION@" "${VERSION}" text "${text}")
endif()
set(utf8 ${OUT}.utf8)
file(WRITE ${utf8} "${text}")
# iconv fails on a character code page 932 lacks, rather than dropping it.
find_program(ICONV iconv REQUIRED)
execute_process(COMMAND ${ICONV} -f UTF-8 -t CP932 INPUT_FILE ${utf8} OUTPUT_VARIABLE sjis
                RESULT_VARIABLE status ERROR_VARIABLE err)
file(REMOVE ${utf8})
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${IN}: not all of it can be written in code page 932: ${err}")
endif()
string(REPLACE "\n" "\r\n" sjis "${sjis}")
file(WRITE ${OUT} "${sjis}")
