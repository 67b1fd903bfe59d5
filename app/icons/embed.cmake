# Writes a PNG as a C++ byte array: cmake -DPNG=file -DNAME=symbol -DOUT=header -P embed.cmake
file(READ ${PNG} hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE ${OUT} "// Made by the build from app/icons/printer.ps.\n#pragma once\n\ninline constexpr unsigned char ${NAME}[] = {\n${bytes}};\n")
