# libFuzzer targets, one per tests/fuzz/fuzz_<name>.cpp, with their seed
# corpora in corpus/<name>/. They need clang; scripts/fuzz.sh configures a
# build (build/fuzz) whose libraries are instrumented for coverage and
# sanitised, then runs each target.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(WARNING "NIMBRA_FUZZ needs clang; the fuzz targets are left out")
  return()
endif()

add_custom_target(nimbra-fuzz)
file(GLOB NIMBRA_FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/fuzz_*.cpp)
foreach(source ${NIMBRA_FUZZ_SOURCES})
  get_filename_component(name ${source} NAME_WE)
  add_executable(${name} ${source})
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
                         -fno-omit-frame-pointer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE nimbra_loop)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/fuzz)
  add_dependencies(nimbra-fuzz ${name})
endforeach()
