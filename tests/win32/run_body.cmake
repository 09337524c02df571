# Runs one body of frame_bodies_win through Wine and checks its exit status and its standard
# output. In EXPECT, "<told>" stands for the lines that the body wrote on standard error
# before it faulted, the report's beginning; \r and \n are the line end's bytes. Arguments come as a
# list in ARGS. The program runs with a console (script gives Wine a terminal), its standard
# output and error redirected into files.
set(line "TOLVAR_FRAME_BODY=${BODY} wine ${PROGRAM}")
foreach(arg IN LISTS ARGS)
  string(APPEND line " '${arg}'")
endforeach()
set(o ${CMAKE_CURRENT_BINARY_DIR}/frame-${BODY})
execute_process(COMMAND script -qec "${line} >${o}.out 2>${o}.err" /dev/null
  INPUT_FILE /dev/null OUTPUT_QUIET RESULT_VARIABLE status)
# CMake drops carriage returns from what it reads; they are made visible first.
execute_process(COMMAND sed "s/\r/<CR>/g" ${o}.out OUTPUT_VARIABLE out)
execute_process(COMMAND sed "s/\r//g" ${o}.err OUTPUT_VARIABLE told)
string(REPLACE "\n" "<CR>\n" told "${told}")
string(REPLACE "<told>" "${told}" EXPECT "${EXPECT}")
string(REPLACE "\\r" "<CR>" EXPECT "${EXPECT}")
string(REPLACE "\\n" "\n" EXPECT "${EXPECT}")
if(NOT status EQUAL STATUS)
  message(FATAL_ERROR "${BODY}: exit status ${status}, expected ${STATUS}; output:\n${out}")
endif()
if(NOT out MATCHES "${EXPECT}")
  message(FATAL_ERROR "${BODY}: output\n${out}\ndoes not match\n${EXPECT}")
endif()
