# SPDX-License-Identifier: BSD-2-Clause
# Makes the installed client archive from the objects of the client library and the
# configuration layer:
#   cmake -DCXX=... -DFLAGS=... -DNM=... -DREADELF=... -DOBJCOPY=... -DAR=... -DOBJECTS=a.o;b.o
#         -DOUTPUT=libvrell_client.a -P client_archive.cmake
# The objects become one relocatable object in which every strong global but the vrell_client_
# calls is made local, as the shared library's version script does, so that the configuration
# layer's names (file_open, ini_load, ...) cannot clash with a scanner's own. Weak symbols and
# those that name a COMDAT group stay global: they are inline and template copies and, on
# i386, the compiler's __x86.get_pc_thunk helpers, which the linker merges with a program's own
# copies; a local one would be dropped with its group while still in use.
cmake_minimum_required(VERSION 3.25)
set(object ${OUTPUT}.o)
set(locals ${OUTPUT}.locals)
# FLAGS carries the target's machine flags (-m32), which the relocatable link must agree with.
separate_arguments(flags UNIX_COMMAND "${FLAGS}")
execute_process(COMMAND ${CXX} ${flags} -r -nostdlib -o ${object} ${OBJECTS}
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${READELF} -g -W ${object} OUTPUT_VARIABLE groups
                COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "`\\.group' \\[[^ ]+\\] contains" groups "${groups}")
list(TRANSFORM groups REPLACE "^`\\.group' \\[(.+)\\] contains$" "\\1")
execute_process(COMMAND ${NM} --defined-only --extern-only --format=posix ${object}
                OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(names "")
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^([^ ]+) [BDGRST] ")
    continue()
  endif()
  set(name ${CMAKE_MATCH_1})
  if(NOT name MATCHES "^vrell_client_" AND NOT name IN_LIST groups)
    string(APPEND names "${name}\n")
  endif()
endforeach()
file(WRITE ${locals} "${names}")
execute_process(COMMAND ${OBJCOPY} --localize-symbols=${locals} ${object}
                COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE ${OUTPUT})
execute_process(COMMAND ${AR} qc ${OUTPUT} ${object} COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE ${object} ${locals})
