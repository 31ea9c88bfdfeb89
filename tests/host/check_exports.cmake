# Compares the defined dynamic symbols of the library with the exports.
set(expected
  Halvex_Corvane_CheckIndex Halvex_Corvane_Create Halvex_Corvane_Destroy Halvex_Corvane_Do
  Halvex_Corvane_Get Halvex_Corvane_GetEventError Halvex_Corvane_GetEventErrorCode
  Halvex_Corvane_GetLastError Halvex_Corvane_GetLastErrorCode Halvex_Corvane_Set
  Halvex_Corvane_SetEventErrorAndCode Halvex_Corvane_SetLastErrorAndCode Halvex_Corvane_StaticDestroy
  Halvex_Corvane_StaticInit Halvex_EvtStr Halvex_Stream)
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(found)
set(unexpected)
foreach(line ${lines})
  # "<address> <type> <name>": any defined symbol counts, functions or data.
  if(line MATCHES "^[0-9a-fA-F]+ ([A-Za-z]) (.+)$")
    set(type ${CMAKE_MATCH_1})
    set(name ${CMAKE_MATCH_2})
    if(type STREQUAL "A")
      continue()  # version-node markers, not symbols
    endif()
    list(FIND expected ${name} index)
    if(index EQUAL -1)
      list(APPEND unexpected "${name} (${type})")
    else()
      if(NOT type STREQUAL "T")
        message(FATAL_ERROR "${name} is not a function symbol: ${type}")
      endif()
      list(APPEND found ${name})
    endif()
  endif()
endforeach()
list(SORT found)
list(SORT expected)
if(unexpected)
  message(FATAL_ERROR "unexpected exported symbols: ${unexpected}")
endif()
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exports found: ${found}\nexpected: ${expected}")
endif()
message(STATUS "16 exports, nothing else")
