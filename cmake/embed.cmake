# A file's bytes as a C++ array, for data compiled into a program.
#   cmake -DIN=file -DOUT=file.cpp -DNAME=SYMBOL -P embed.cmake
# defines `const unsigned char SYMBOL[]` and `const size_t SYMBOL_SIZE`.
cmake_minimum_required(VERSION 3.25)
file(READ ${IN} hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
# Lines of 16 bytes, so a diff of two builds stays readable.
string(REGEX REPLACE "((0x..,){16})" "\\1\n" bytes "${bytes}")
file(WRITE ${OUT} "// Generated from ${IN} by embed.cmake.\n#include <stddef.h>\n"
     "extern const unsigned char ${NAME}[];\nextern const size_t ${NAME}_SIZE;\n"
     "const unsigned char ${NAME}[] = {\n${bytes}0};\nconst size_t ${NAME}_SIZE = ${size};\n")
