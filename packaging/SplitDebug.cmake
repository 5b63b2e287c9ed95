# Runs at install time (install(CODE) sets the variables): splits a program's
# debug symbols from it the way Debian's dbgsym packages hold them, found by
# the program's build id.
#   NX_BUILT      the program as built, with its symbols
#   NX_MODE       "strip": strip NX_INSTALLED and link it to its symbols;
#                 "symbols": write the symbols below NX_DEBUG_ROOT
#   NX_INSTALLED, NX_DEBUG_ROOT, NX_SCRATCH (a folder for the strip step)
#   NX_OBJCOPY, NX_READELF
execute_process(COMMAND ${NX_READELF} -n ${NX_BUILT} OUTPUT_VARIABLE notes
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT notes MATCHES "Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)")
  message(FATAL_ERROR "${NX_BUILT} has no build id")
endif()
set(debug_name ${CMAKE_MATCH_2}.debug)
if(NX_MODE STREQUAL "symbols")
  set(debug_dir $ENV{DESTDIR}${NX_DEBUG_ROOT}/.build-id/${CMAKE_MATCH_1})
else()
  # A folder of this run's own: a cpack and a cmake --install of the same tree
  # may run at once, and only the file's name goes into the debug link.
  string(RANDOM LENGTH 12 ALPHABET 0123456789abcdef run)
  set(debug_dir ${NX_SCRATCH}/${run})
endif()
file(MAKE_DIRECTORY ${debug_dir})
# The same command from the same program gives the same bytes, so the
# checksum in the stripped program's debug link matches the packaged file.
execute_process(COMMAND ${NX_OBJCOPY} --only-keep-debug --compress-debug-sections
  ${NX_BUILT} ${debug_dir}/${debug_name} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objcopy could not extract the symbols of ${NX_BUILT}")
endif()
if(NX_MODE STREQUAL "symbols")
  file(CHMOD ${debug_dir}/${debug_name} FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  return()
endif()
# As dh_strip does: the compiler's .comment and .note go too.
execute_process(COMMAND ${NX_OBJCOPY} --strip-all --remove-section=.comment --remove-section=.note
  --add-gnu-debuglink=${debug_dir}/${debug_name} $ENV{DESTDIR}${NX_INSTALLED} RESULT_VARIABLE rc)
file(REMOVE_RECURSE ${debug_dir})
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objcopy could not strip ${NX_INSTALLED}")
endif()
