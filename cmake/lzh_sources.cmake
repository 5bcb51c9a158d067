# The archive library's sources, for the build and for the fuzzers' own
# instrumented copy. DIR is the source folder.
function(lzh_sources out dir)
    set(${out}
        ${dir}/lzh/canonical.cpp ${dir}/lzh/crc16.cpp ${dir}/lzh/decode.cpp ${dir}/lzh/decode_static.cpp
        ${dir}/lzh/decode_adaptive.cpp ${dir}/lzh/decode_ring.cpp ${dir}/lzh/decode_pmarc.cpp
        ${dir}/lzh/decoders_all.cpp
        ${dir}/lzh/encode.cpp ${dir}/lzh/huffman.cpp ${dir}/lzh/block_writer.cpp
        ${dir}/lzh/match_finder.cpp ${dir}/lzh/parse_optimal.cpp
        ${dir}/lzh/join.cpp ${dir}/lzh/header_writer.cpp
        ${dir}/lzh/find.cpp ${dir}/lzh/header.cpp ${dir}/lzh/methods.cpp
        ${dir}/lzh/status.cpp
        PARENT_SCOPE)
endfunction()
