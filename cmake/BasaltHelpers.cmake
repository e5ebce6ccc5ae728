# Small helpers that keep the per-module CMake declarative.

# basalt_module(<name> SOURCES ... [POSIX_SOURCES ...] [WIN_SOURCES ...] [PRIVATE_LIBS ...])
# Builds one object library per module; the shared library collects them all.
function(basalt_module name)
  cmake_parse_arguments(M "" "" "SOURCES;POSIX_SOURCES;WIN_SOURCES;PRIVATE_LIBS" ${ARGN})
  set(srcs ${M_SOURCES})
  if(WIN32)
    list(APPEND srcs ${M_WIN_SOURCES})
  else()
    list(APPEND srcs ${M_POSIX_SOURCES})
  endif()
  add_library(basalt_${name} OBJECT ${srcs})
  target_include_directories(basalt_${name}
    PUBLIC ${PROJECT_SOURCE_DIR}/include
    PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_compile_definitions(basalt_${name} PRIVATE BSL_BUILDING_LIBRARY=1)
  target_link_libraries(basalt_${name} PUBLIC Boost::headers Boost::thread Threads::Threads
                                       PRIVATE ${M_PRIVATE_LIBS})
  set_property(GLOBAL APPEND PROPERTY BASALT_MODULES ${name})
  set(BASALT_MODULE_OBJECTS ${BASALT_MODULE_OBJECTS} $<TARGET_OBJECTS:basalt_${name}> PARENT_SCOPE)
  set(BASALT_MODULE_PRIVATE_LIBS ${BASALT_MODULE_PRIVATE_LIBS} ${M_PRIVATE_LIBS} PARENT_SCOPE)
endfunction()

# basalt_test(<module> SOURCES ... [LIBS ...])
# One GoogleTest executable per module, registered with CTest under the module's label.
function(basalt_test module)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  set(exe basalt_${module}_tests)
  add_executable(${exe} ${T_SOURCES})
  target_include_directories(${exe} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${exe} PRIVATE basalt GTest::gtest GTest::gtest_main ${T_LIBS})
  target_compile_definitions(${exe} PRIVATE BASALT_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  add_test(NAME ${module} COMMAND ${exe})
  set_tests_properties(${module} PROPERTIES LABELS ${module} TIMEOUT ${T_TIMEOUT})
endfunction()

# basalt_bench(<name> SOURCES ... [LIBS ...])
function(basalt_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(bench_${name} ${B_SOURCES})
  target_include_directories(bench_${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/bench
                                                  ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(bench_${name} PRIVATE basalt benchmark::benchmark ${B_LIBS})
endfunction()

# basalt_fuzzer(<name> SOURCES ... [LIBS ...])
# With BASALT_BUILD_FUZZERS (clang) a libFuzzer binary; otherwise a replayer that
# feeds every file of fuzz/<name>/corpus to the same entry point, run by CTest.
function(basalt_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  if(BASALT_BUILD_FUZZERS)
    add_executable(fuzz_${name} ${F_SOURCES})
    target_compile_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  else()
    add_executable(fuzz_${name} ${F_SOURCES} ${PROJECT_SOURCE_DIR}/fuzz/ReplayMain.cpp)
    if(BASALT_BUILD_TESTS)
      add_test(NAME fuzz_${name}_replay
               COMMAND fuzz_${name} ${PROJECT_SOURCE_DIR}/fuzz/${name}/corpus)
      set_tests_properties(fuzz_${name}_replay PROPERTIES LABELS fuzz TIMEOUT 600)
    endif()
  endif()
  target_include_directories(fuzz_${name} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(fuzz_${name} PRIVATE basalt ${F_LIBS})
endfunction()
