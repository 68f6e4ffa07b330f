# Checks that the shipped executables are hardened as distributions build their packages:
# position-independent, relocations read-only after start (GNU_RELRO) and bound at start
# (BIND_NOW), the stack protector in use (__stack_chk_fail), and, when FORTIFIED is set, the
# checked variants of the C library functions (a __*_chk symbol). Every missing property of every
# program is reported. Run as:
#   cmake -DREADELF=... -DFORTIFIED=ON|OFF -DPROGRAMS=path,path,... -P check_hardening.cmake
# readelf translates its headings and flag names ("Type:", "Flags:") into the user's language.
set(ENV{LC_ALL} C)
string(REPLACE "," ";" programs "${PROGRAMS}")
if(NOT programs)
  message(FATAL_ERROR "no programs to check")
endif()
set(failures "")
foreach(program IN LISTS programs)
  get_filename_component(name "${program}" NAME)
  # The header, the dynamic section, the segments and the dynamic symbols, unabridged.
  execute_process(COMMAND "${READELF}" --wide --file-header --dynamic --segments --dyn-syms
                          "${program}"
                  RESULT_VARIABLE status OUTPUT_VARIABLE outputs ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "readelf ${program} failed: ${errors}")
  endif()
  if(NOT outputs MATCHES "Type:[ \t]+DYN" OR NOT outputs MATCHES "\\(FLAGS_1\\)[^\n]*PIE")
    list(APPEND failures "${name}: not a position-independent executable")
  endif()
  if(NOT outputs MATCHES "\\(FLAGS\\)[^\n]*BIND_NOW" AND NOT outputs MATCHES "\\(FLAGS_1\\)[^\n]* NOW")
    list(APPEND failures "${name}: symbols are not bound at start (no BIND_NOW)")
  endif()
  if(NOT outputs MATCHES "\n[ \t]*GNU_RELRO[ \t]")
    list(APPEND failures "${name}: no read-only relocations (no GNU_RELRO segment)")
  endif()
  if(NOT outputs MATCHES "[ \t]__stack_chk_fail(@|\n)")
    list(APPEND failures "${name}: no stack protector (__stack_chk_fail is not used)")
  endif()
  if(FORTIFIED AND NOT outputs MATCHES "[ \t]__[a-z0-9_]+_chk(@|\n)")
    list(APPEND failures "${name}: no checked C library functions (no __*_chk symbol)")
  endif()
endforeach()
if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "not hardened:\n  ${text}")
endif()
list(LENGTH programs count)
message(STATUS "${count} programs hardened (fortified: ${FORTIFIED})")
