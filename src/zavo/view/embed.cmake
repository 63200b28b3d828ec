# Writes OUTPUT, a C++ source that defines the view_assets strings kPage, kStyle and kScript as
# the bytes of the files PAGE, STYLE and SCRIPT. Every byte is a hexadecimal escape, so no
# content needs quoting.
set(source "// Generated from src/zavo/view/ by embed.cmake; do not edit.\n")
string(APPEND source "#include \"zavo/view/view_assets.hpp\"\n\nnamespace zavo::graph::view_assets {\n")
string(REPEAT "\\\\x[0-9a-f][0-9a-f]" 32 line)
foreach(pair IN ITEMS "kPage=${PAGE}" "kStyle=${STYLE}" "kScript=${SCRIPT}")
  string(REGEX MATCH "^([^=]+)=(.*)$" _ "${pair}")
  set(name "${CMAKE_MATCH_1}")
  file(READ "${CMAKE_MATCH_2}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR bytes "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" escaped "${hex}")
  string(REGEX REPLACE "(${line})" "\\1\"\n    \"" escaped "${escaped}")
  string(APPEND source "\nconst std::string_view ${name}{\n    \"${escaped}\",\n    ${bytes}};\n")
endforeach()
string(APPEND source "\n}  // namespace zavo::graph::view_assets\n")
file(WRITE "${OUTPUT}.new" "${source}")
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
