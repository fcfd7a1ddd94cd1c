# SPDX-License-Identifier: BSD-2-Clause
# Makes the installed configuration from the example: cmake -DINPUT=... -DOUTPUT=...
# -DRUN_DIR=... -P install_ini.cmake. The example's two paths under $(VRELL_RUN_DIR) move to
# RUN_DIR, and its sentence about the checkout's run directory is replaced by one about the
# installed run directory, on the same lines; every other line stays as it is.
file(READ ${INPUT} text)
string(REPLACE "$(VRELL_RUN_DIR)/" "${RUN_DIR}/" text "${text}")
string(REGEX REPLACE
       "The run command in the README sets[^.]*there\\."
       "This installed copy keeps\n; the socket and the pid file in ${RUN_DIR}, which the service unit creates for the\n; service user and group _vrell."
       text "${text}")
if(text MATCHES "\\$\\(VRELL_RUN_DIR\\)")
  message(FATAL_ERROR "${INPUT}: a reference to VRELL_RUN_DIR is left after the substitution")
endif()
if(NOT text MATCHES "\n#\\*END\n")
  message(FATAL_ERROR "${INPUT}: no end marker line")
endif()
file(WRITE ${OUTPUT} "${text}")
