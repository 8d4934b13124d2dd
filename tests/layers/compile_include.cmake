# cmake -DCXX=... -DSTD=20 -DINCLUDES=a|b -DDEFINES=x|y -DHEADER=quor/x/y.h
#       -DEXPECT=PASS|FAIL -DWORK_DIR=... -P compile_include.cmake
#
# Compiles a file that includes HEADER, with the given include paths only.
# PASS: the compile must succeed. FAIL: it must fail because HEADER is not
# found (any other error would prove nothing about the include paths).

file(MAKE_DIRECTORY ${WORK_DIR})
set(source ${WORK_DIR}/include_probe.cpp)
file(WRITE ${source} "#include \"${HEADER}\"\nint quor_include_probe() { return 0; }\n")

set(args -std=c++${STD} -fsyntax-only)
string(REPLACE "|" ";" includes "${INCLUDES}")
foreach(dir ${includes})
  list(APPEND args -I${dir})
endforeach()
string(REPLACE "|" ";" defines "${DEFINES}")
foreach(def ${defines})
  list(APPEND args -D${def})
endforeach()

execute_process(COMMAND ${CXX} ${args} ${source}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)

string(REPLACE "." "\\." header_re "${HEADER}")
if(EXPECT STREQUAL "PASS")
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "including ${HEADER} should compile:\n${CXX} ${args} ${source}\n${out}")
  endif()
  message(STATUS "${HEADER}: compiles, as it may")
else()
  if(rc EQUAL 0)
    message(FATAL_ERROR "including ${HEADER} compiled, but the layer may not reach it")
  endif()
  if(NOT out MATCHES "'?${header_re}'?:? (file not found|No such file or directory)")
    message(FATAL_ERROR "including ${HEADER} failed for another reason than the missing header:\n${out}")
  endif()
  message(STATUS "${HEADER}: not found, as required")
endif()
