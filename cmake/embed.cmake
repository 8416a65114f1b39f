# Writes a C++ source that holds the bytes of INPUT as a constant array.
#   cmake -DINPUT=file -DOUTPUT=file.cpp -DSYMBOL=name -P embed.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}" "// Generated from ${INPUT}; do not edit.\n#include <cstddef>\n#include <cstdint>\n\nextern const uint8_t ${SYMBOL}[];\nextern const size_t ${SYMBOL}_size;\nconst uint8_t ${SYMBOL}[] = {\n${bytes}0};\nconst size_t ${SYMBOL}_size = ${size};\n")
