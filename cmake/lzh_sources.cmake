# The archive library's sources, for the build and for the fuzzers' own
# instrumented copy. DIR is the source folder.
function(lzh_sources out dir)
    set(${out}
        ${dir}/lzh/amiga.cpp ${dir}/lzh/crc16.cpp ${dir}/lzh/find.cpp ${dir}/lzh/header.cpp ${dir}/lzh/header_writer.cpp ${dir}/lzh/input.cpp
        ${dir}/lzh/methods.cpp ${dir}/lzh/status.cpp
        ${dir}/lzh/decode/canonical.cpp ${dir}/lzh/decode/decode.cpp
        ${dir}/lzh/decode/decode_static.cpp ${dir}/lzh/decode/decode_adaptive.cpp
        ${dir}/lzh/decode/decode_ring.cpp ${dir}/lzh/decode/decode_pmarc.cpp
        ${dir}/lzh/decode/decode_lh2_lh3.cpp
        ${dir}/lzh/decode/decoders_all.cpp
        ${dir}/lzh/encode/encode.cpp ${dir}/lzh/encode/huffman.cpp ${dir}/lzh/encode/block_writer.cpp
        ${dir}/lzh/encode/match_finder.cpp ${dir}/lzh/encode/parse_optimal.cpp
        ${dir}/lzh/encode/join.cpp
        PARENT_SCOPE)
endfunction()
