# Turns the certificate files into a C++ source with one byte array each.
# Called at build time: cmake -DIN_DIR=<folder> -DOUT=<file.cpp> -P embed.cmake
set(files MireltaCA.cer Mirelta_Duvo_Connector.cer Mirelta_Duvo_Connector.key MireltaPhone.cer
          MireltaPhone.key)
set(names ca client client_key phone phone_key)

set(text "// Generated from link/certs by embed.cmake; do not edit.\n#include <cstddef>\n\n")
string(APPEND text "namespace certs_data {\n")
foreach(file name IN ZIP_LISTS files names)
  file(READ ${IN_DIR}/${file} hex HEX)
  string(LENGTH "${hex}" hex_len)
  math(EXPR size "${hex_len} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # Line breaks every 16 bytes keep the generated file readable.
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")
  string(APPEND text "extern const unsigned char ${name}[] = {\n    ${bytes}\n};\n")
  string(APPEND text "extern const size_t ${name}_size = ${size};\n\n")
endforeach()
string(APPEND text "}  // namespace certs_data\n")

# Rewrite only on change so that dependents are not rebuilt for nothing.
if(EXISTS ${OUT})
  file(READ ${OUT} old)
endif()
if(NOT "${old}" STREQUAL "${text}")
  file(WRITE ${OUT} "${text}")
endif()
