# Writes OUTPUT, a C++ file that defines kr2270::tool::kWebAssets from
# LIST, a file of URL-path|content-type|file lines (run with cmake -P).
file(STRINGS "${LIST}" ASSETS)
set(body "")
set(table "")
set(index 0)
foreach(asset IN LISTS ASSETS)
  string(REPLACE "|" ";" parts "${asset}")
  list(GET parts 0 url)
  list(GET parts 1 type)
  list(GET parts 2 file)
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){32})" "\\1\n" bytes "${bytes}")
  string(APPEND body "const unsigned char kAsset${index}[] = {\n${bytes}0};\n")
  string(APPEND table "    {\"${url}\", \"${type}; charset=utf-8\", kAsset${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp"
  "// Generated from web/ and the charting library; do not edit.\n"
  "#include \"tools/kr2270/scope/scope_assets.h\"\n\n"
  "namespace kr2270::tool {\nnamespace {\n${body}}  // namespace\n\n"
  "const WebAsset kWebAssets[] = {\n${table}};\n"
  "const std::size_t kWebAssetCount = ${index};\n\n}  // namespace kr2270::tool\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
