# Source selection by file name:
#   foo.cpp          portable, in every build
#   foo_win.cpp      Windows build only
#   foo_linux.cpp    Linux build only
#   foo_test.cpp     unit tests (same platform suffix rules: foo_win_test.cpp, foo_linux_test.cpp)
#   foo_main.cpp     program entry points, never in a library
# New files are picked up without editing CMake (the globs re-run at build time).

function(orvane_filter_platform out_var)
  set(result)
  foreach(f IN LISTS ARGN)
    get_filename_component(name "${f}" NAME_WE)
    if(name MATCHES "_win($|_)" AND NOT WIN32)
      continue()
    endif()
    if(name MATCHES "_linux($|_)" AND WIN32)
      continue()
    endif()
    list(APPEND result "${f}")
  endforeach()
  set(${out_var} "${result}" PARENT_SCOPE)
endfunction()

# Leak and race checking skip what third-party libraries do themselves. The
# programs a test starts (the host, the simulator) inherit the same options.
set(ORVANE_SANITIZER_ENV
    "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/../tests/support/lsan_suppressions.txt"
    "TSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/../tests/support/tsan_suppressions.txt")

# orvane_collect(<dir> <lib_var> <test_var> <display_test_var>)
function(orvane_collect dir lib_var test_var display_test_var)
  file(GLOB_RECURSE all CONFIGURE_DEPENDS "${dir}/*.cpp")
  set(lib)
  set(tests)
  set(display_tests)
  foreach(f IN LISTS all)
    get_filename_component(name "${f}" NAME_WE)
    if(name MATCHES "_main$")
      continue()
    elseif(name MATCHES "_display_test$")
      list(APPEND display_tests "${f}")
    elseif(name MATCHES "_test$")
      list(APPEND tests "${f}")
    elseif(f MATCHES "/testing/")
      list(APPEND tests "${f}")
    else()
      list(APPEND lib "${f}")
    endif()
  endforeach()
  orvane_filter_platform(lib ${lib})
  orvane_filter_platform(tests ${tests})
  orvane_filter_platform(display_tests ${display_tests})
  set(${lib_var} "${lib}" PARENT_SCOPE)
  set(${test_var} "${tests}" PARENT_SCOPE)
  set(${display_test_var} "${display_tests}" PARENT_SCOPE)
endfunction()

# orvane_add_test_program(<name> <needs_display> <sources...>)
# One ctest test per program. On Windows the program runs under Wine (the
# cross-compiling emulator); programs that need a display run under Xvfb.
function(orvane_add_test_program name needs_display)
  if(NOT ARGN)
    return()
  endif()
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE orvane_core orvane_test_main)
  if(WIN32)
    set_target_properties(${name} PROPERTIES WIN32_EXECUTABLE OFF)
    if(needs_display)
      add_test(NAME ${name} COMMAND ${ORVANE_XVFB_EMULATOR} $<TARGET_FILE:${name}>)
      set_tests_properties(${name} PROPERTIES RESOURCE_LOCK wine_display)
    else()
      add_test(NAME ${name} COMMAND ${name})
    endif()
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT 600
    ENVIRONMENT "ORVANE_SOURCE_DIR=${PROJECT_SOURCE_DIR};ORVANE_BINARY_DIR=${PROJECT_BINARY_DIR};${ORVANE_SANITIZER_ENV}")
  if(NOT WIN32)
    # Tests never read the developer's X display; those that need one start
    # their own server.
    set_tests_properties(${name} PROPERTIES ENVIRONMENT_MODIFICATION "DISPLAY=unset:")
  endif()
endfunction()
