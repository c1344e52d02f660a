# nel_add_gtest(NAME <exe> SOURCES <files...> [LIBS <targets...>] [THREADED] [RUN_SERIAL])
#
# One GoogleTest executable; its tests are registered with CTest one by one.
# THREADED marks suites that start threads (the reader thread, the virtual unit,
# timers): CI runs those again under ThreadSanitizer with `ctest -L threaded`.
# RUN_SERIAL keeps CTest from running other tests beside them (suites that
# measure a rate against the wall clock).
include(GoogleTest)
function(nel_add_gtest)
  cmake_parse_arguments(T "THREADED;RUN_SERIAL" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gmock Threads::Threads)
  target_compile_definitions(${T_NAME} PRIVATE
    NEL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    NEL_SHARED_DATA_DIR="${NEL_SHARED_DATA_DIR}")
  nel_target_warnings(${T_NAME})
  set(labels unit)
  if(T_THREADED)
    set(labels threaded)
  endif()
  set(serial FALSE)
  if(T_RUN_SERIAL)
    set(serial TRUE)
  endif()
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${labels}" TIMEOUT 600 RUN_SERIAL ${serial})
endfunction()
