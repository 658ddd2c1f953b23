# Run by CTest in the Windows tree: the polyphase object must carry the AVX2 loops, and no
# aligned vector move may touch the stack there (MinGW's GCC keeps it only 16-byte
# aligned, so such a move of a 256-bit spill faults on real Windows at random).
# Arguments: -DOBJDUMP=<objdump> -DOBJECTS=<object files, ;-separated>
set(aligned_on_stack "")
set(avx2_found FALSE)
foreach(object IN LISTS OBJECTS)
  execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${object} OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} failed on ${object}")
  endif()
  if(listing MATCHES "vfmadd[0-9]+pd[^\n]*%ymm")
    set(avx2_found TRUE)
  endif()
  string(REGEX MATCHALL "[^\n]*v?mov(aps|apd|dqa|dqa32|dqa64|ntps|ntpd|ntdq)[ \t][^\n]*\\(%r(sp|bp)[^\n]*" hits
         "${listing}")
  list(APPEND aligned_on_stack ${hits})
endforeach()
if(NOT avx2_found)
  message(FATAL_ERROR "no AVX2 loops in the polyphase object: the Windows build runs SSE2 only")
endif()
if(aligned_on_stack)
  string(REPLACE ";" "\n" lines "${aligned_on_stack}")
  message(FATAL_ERROR "aligned vector moves on the stack:\n${lines}")
endif()
message(STATUS "AVX2 loops present, no aligned vector move on the stack")
