# Writes a placeholder firmware image (cmake -P): SIZE bytes of text that differs from block to
# block, so that a block written to the wrong place reads back different, ending in the version
# bytes MAJOR and MINOR. Used when the build is given no real images; no panel runs it. The service
# knows a placeholder by its first line (VelkFirmware::isPlaceholder) and uploads none.
foreach(var NAME SIZE MAJOR MINOR OUT)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "FirmwarePlaceholder.cmake needs -D${var}=")
    endif()
endforeach()

math(EXPR last_block "${SIZE} / 256 - 1")
set(image "")
foreach(block RANGE ${last_block})
    string(REPEAT "${NAME} placeholder, not door-panel firmware, block ${block}\n" 8 text)
    string(SUBSTRING "${text}" 0 256 text)
    string(APPEND image "${text}")
endforeach()
math(EXPR body "${SIZE} - 2")
string(SUBSTRING "${image}" 0 ${body} image)
# Bytes 1..255 only: CMake strings cannot hold a zero byte.
string(ASCII ${MAJOR} ${MINOR} version)
file(WRITE "${OUT}" "${image}${version}")
