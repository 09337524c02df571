# Runs one body of frame_bodies_win through Wine and checks its exit status and its standard
# output. In EXPECT, "@name@" stands for the address that the body told on standard error as
# "name XXXXXXXX" before it faulted; \r and \n are the line end's bytes. Arguments come as a
# list in ARGS.
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env TOLVAR_FRAME_BODY=${BODY} wine ${PROGRAM} ${ARGS}
  # CMake drops carriage returns from what it captures; they are made visible first.
  COMMAND sed "s/\r/<CR>/g"
  RESULTS_VARIABLE statuses OUTPUT_VARIABLE out ERROR_VARIABLE told)
list(GET statuses 0 status)
string(REGEX MATCHALL "[a-z-]+ [0-9A-F]+" pairs "${told}")
foreach(pair IN LISTS pairs)
  string(REPLACE " " ";" pair "${pair}")
  list(GET pair 0 name)
  list(GET pair 1 address)
  string(REPLACE "@${name}@" "${address}" EXPECT "${EXPECT}")
endforeach()
string(REPLACE "\\r" "<CR>" EXPECT "${EXPECT}")
string(REPLACE "\\n" "\n" EXPECT "${EXPECT}")
if(NOT status EQUAL STATUS)
  message(FATAL_ERROR "${BODY}: exit status ${status}, expected ${STATUS}; output:\n${out}")
endif()
if(NOT out MATCHES "${EXPECT}")
  message(FATAL_ERROR "${BODY}: output\n${out}\ndoes not match\n${EXPECT}")
endif()
