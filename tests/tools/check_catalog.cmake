# The texts the code marks (_, N_, trn) against po/ja.po: each one
# translated (msgcmp fails on a missing, untranslated or fuzzy one), and
# none in the catalog that the code has dropped.
cmake_minimum_required(VERSION 3.25)
file(GLOB sources ${SOURCE_DIR}/src/tools/*.cpp)
list(APPEND sources ${SOURCE_DIR}/src/lzh/status.cpp ${SOURCE_DIR}/src/names/winname.cpp)
set(pot ${BINARY_DIR}/grelm_installer.pot)
execute_process(COMMAND ${XGETTEXT} --from-code=UTF-8 -k_ -kN_ -ktrn:1,2 --add-comments=xgettext
                        -o ${pot} ${sources} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "xgettext failed")
endif()
set(po ${SOURCE_DIR}/po/ja.po)
execute_process(COMMAND ${MSGCMP} ${po} ${pot} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "po/ja.po lacks the translation of a text in the code (above)")
endif()
execute_process(COMMAND ${MSGCMP} --use-untranslated ${pot} ${po} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "po/ja.po has a text the code no longer has (above)")
endif()
