# Writes OUT, a C++ file holding the files FILES (comma-separated) of SRC_DIR as arrays,
# with FindWebAsset over them. Run by the build whenever a file changes.
string(REPLACE "," ";" files "${FILES}")
set(arrays "")
set(table "")
set(i 0)
foreach(f IN LISTS files)
  file(READ "${SRC_DIR}/${f}" hex HEX)
  string(LENGTH "${hex}" n)
  math(EXPR size "${n} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n"
         bytes "${bytes}")
  if(f MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(f MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
  elseif(f MATCHES "\\.js$")
    set(type "text/javascript; charset=utf-8")
  else()
    set(type "application/octet-stream")
  endif()
  string(APPEND arrays "unsigned char const kAsset${i}[] = {\n${bytes}0};\n")
  string(APPEND table "    {\"/${f}\", \"${type}\", kAsset${i}, ${size}},\n")
  math(EXPR i "${i} + 1")
endforeach()
file(WRITE "${OUT}.new"
     "// Generated from web/assets by EmbedAssets.cmake; do not edit.\n"
     "#include \"CWebAssets.h\"\n\nnamespace {\n${arrays}"
     "SWebAsset const kAssets[] = {\n${table}};\n}  // namespace\n\n"
     "SWebAsset const* FindWebAsset(std::string_view path) {\n"
     "  for (auto const& a : kAssets)\n"
     "    if (path == a.path) return &a;\n"
     "  return nullptr;\n}\n")
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
