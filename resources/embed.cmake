# Writes a C file whose assembly pulls the skin library and the skin files in
# byte for byte (.incbin), with a begin and an end symbol around each.
# Inputs: LIBRARY (path of libSkinEngine.so), SKINS (;-list, in number order),
# OUTPUT (the .c file to write).
# The path lands inside an assembler string inside a C string; rather than
# escape twice, refuse the two characters that would need it.
function(asm_path out path)
  if(path MATCHES "[\\\"]")
    message(FATAL_ERROR "embed: cannot embed a path holding a quote or backslash: ${path}")
  endif()
  set(${out} "${path}" PARENT_SCOPE)
endfunction()

foreach(input IN LISTS LIBRARY SKINS)
  if(NOT EXISTS "${input}")
    message(FATAL_ERROR "embed: missing input ${input}")
  endif()
endforeach()

set(c "/* Generated at build time by resources/embed.cmake; do not edit. */\n")
string(APPEND c "__asm__(\n  \".pushsection .rodata\\n\"\n")
macro(blob name path)
  asm_path(p "${path}")
  string(APPEND c "  \".balign 16\\n\"\n")
  string(APPEND c "  \".globl ${name}_begin\\n.hidden ${name}_begin\\n${name}_begin:\\n\"\n")
  string(APPEND c "  \".incbin \\\"${p}\\\"\\n\"\n")
  string(APPEND c "  \".globl ${name}_end\\n.hidden ${name}_end\\n${name}_end:\\n\"\n")
endmacro()
blob(lumigrab_skin_library "${LIBRARY}")
set(n 0)
foreach(skin IN LISTS SKINS)
  math(EXPR n "${n} + 1")
  blob(lumigrab_skin_file_${n} "${skin}")
endforeach()
string(APPEND c "  \".popsection\\n\");\n\n")

set(decls "")
set(table "")
foreach(i RANGE 1 ${n})
  string(APPEND decls "extern const unsigned char lumigrab_skin_file_${i}_begin[];\n")
  string(APPEND decls "extern const unsigned char lumigrab_skin_file_${i}_end[];\n")
  string(APPEND table "  lumigrab_skin_file_${i}_begin, lumigrab_skin_file_${i}_end,\n")
endforeach()
string(APPEND c "${decls}\n")
string(APPEND c "const int lumigrab_skin_file_count = ${n};\n")
string(APPEND c "const unsigned char* const lumigrab_skin_file_bounds[] = {\n${table}};\n")

# Rewritten on every run so the object is rebuilt whenever an input changed
# (the compiler does not see .incbin inputs as dependencies).
file(WRITE "${OUTPUT}" "${c}")
