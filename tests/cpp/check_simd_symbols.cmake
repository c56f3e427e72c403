# Checks that each build of the block-scan kernels defines, among its
# external symbols, its own table and nothing else (cmake -P, from ctest);
# sanitizer instrumentation aside.
#   -DNM=nm -DBUILD_DIR=<build>/CMakeFiles -DTARGETS=baseline;avx2;avx512
foreach(target IN LISTS TARGETS)
  file(GLOB_RECURSE objects "${BUILD_DIR}/rastermark_simd_${target}.dir/*.o" "${BUILD_DIR}/rastermark_simd_${target}.dir/*.obj")
  list(LENGTH objects count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "expected one object of the ${target} build, found ${count}: ${objects}")
  endif()
  execute_process(COMMAND "${NM}" --defined-only --extern-only --demangle ${objects}
                  OUTPUT_VARIABLE listing RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${objects}")
  endif()
  string(REPLACE "\n" ";" lines "${listing}")
  set(found_table FALSE)
  foreach(line IN LISTS lines)
    # Skip blank lines and what a sanitizer adds for each global (its ODR
    # indicators and the like).
    if(line STREQUAL "" OR line MATCHES " __(odr_asan|asan|tsan|ubsan|msan|sanitizer|sancov)")
      continue()
    endif()
    if(NOT line MATCHES " rastermark::simd::${target}::")
      message(FATAL_ERROR "the ${target} build exports a symbol of its own: ${line}")
    endif()
    if(line MATCHES " rastermark::simd::${target}::table$")
      set(found_table TRUE)
    endif()
  endforeach()
  if(NOT found_table)
    message(FATAL_ERROR "the ${target} build does not define rastermark::simd::${target}::table")
  endif()
  message(STATUS "${target}: exports only its table")
endforeach()
