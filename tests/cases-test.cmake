# Configures a scratch project that registers one test case through
# cases.cmake: a plain name must pass, and a name with any character that
# doctest reads as a pattern, or one beyond ASCII, must stop the configure
# run, naming the case.
# cmake -DCASES=<cases.cmake> -DWORK=<scratch folder> -P cases-test.cmake
file(REMOVE_RECURSE "${WORK}")
file(WRITE "${WORK}/CMakeLists.txt" "cmake_minimum_required(VERSION 3.25)\nproject(guard NONE)\ninclude(\"${CASES}\")\nadd_cases(cases.cpp)\n")

function(configure name expect)
  file(WRITE "${WORK}/cases.cpp" "TEST_CASE(\"${name}\") {}\n")
  file(REMOVE_RECURSE "${WORK}/build")
  execute_process(COMMAND ${CMAKE_COMMAND} -S "${WORK}" -B "${WORK}/build"
    RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE errors)
  string(FIND "${errors}" "\"${name}\"" named)
  if(expect STREQUAL "pass" AND NOT result EQUAL 0)
    message(FATAL_ERROR "a plain name was refused: ${name}\n${errors}")
  elseif(expect STREQUAL "fail" AND (result EQUAL 0 OR named EQUAL -1))
    message(FATAL_ERROR "the name ${name} was not refused by name (result ${result})\n${errors}")
  endif()
endfunction()

configure("a plain name - with (punctuation).ok" pass)
foreach(bad "," "*" "?" "[" "]" "\\")
  configure("one ${bad} two" fail)
endforeach()
configure("back to 壁纸" fail)
