# One CTest test per test case, each in a process (and desktop) of its own,
# listed from the sources so that discovery never runs Wine at build time.
# add_cases(source [WINE] [CHROMIUM] [LOCK name] [FIXTURE name] [TIMEOUT s] [RUNNER command...])
# RUNNER runs the tests program through a command of its own (which must call
# Wine itself), instead of CTest's emulator. WINE labels cases that need Wine,
# which a native Windows run leaves out (ctest -LE wine); CHROMIUM those that
# also drive Chromium (ctest -L chromium).
function(add_cases source)
  cmake_parse_arguments(arg "WINE;CHROMIUM" "LOCK;FIXTURE;TIMEOUT" "RUNNER" ${ARGN})
  file(STRINGS ${source} lines REGEX "^TEST_CASE\\(\"" ENCODING UTF-8)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^TEST_CASE\\(\"([^\"]+)\".*" "\\1" name "${line}")
    # The name goes to doctest as a filter, where a comma separates filters,
    # * and ? are wildcards, brackets are classes and a backslash escapes: such a
    # case would run a different set of cases, or none, and still pass.
    foreach(bad "," "*" "?" "[" "]" "\\")
      string(FIND "${name}" "${bad}" at)
      if(NOT at EQUAL -1)
        message(FATAL_ERROR "${source}: the test case name \"${name}\" contains \"${bad}\", which doctest reads as part of a pattern; rename the case")
      endif()
    endforeach()
    # Wine hands the program its command line in the ANSI code page, so
    # anything beyond ASCII may reach doctest changed and match nothing.
    if(name MATCHES "[^ -~]")
      message(FATAL_ERROR "${source}: the test case name \"${name}\" is not plain ASCII, which may not reach doctest intact; rename the case")
    endif()
    if(arg_RUNNER)
      add_test(NAME "${name}" COMMAND ${arg_RUNNER} "--test-case=${name}" --no-version=true)
    else()
      add_test(NAME "${name}" COMMAND tests "--test-case=${name}" --no-version=true)
    endif()
    if(arg_TIMEOUT)
      set_tests_properties("${name}" PROPERTIES TIMEOUT ${arg_TIMEOUT})
    endif()
    if(arg_LOCK)
      # One instance per session: the program's mutex would turn a second
      # program away.
      set_tests_properties("${name}" PROPERTIES RESOURCE_LOCK ${arg_LOCK})
    endif()
    if(arg_FIXTURE)
      set_tests_properties("${name}" PROPERTIES FIXTURES_REQUIRED ${arg_FIXTURE})
    endif()
    set(labels)
    if(arg_WINE)
      list(APPEND labels wine)
    endif()
    if(arg_CHROMIUM)
      list(APPEND labels chromium)
    endif()
    if(labels)
      set_tests_properties("${name}" PROPERTIES LABELS "${labels}")
    endif()
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
endfunction()
