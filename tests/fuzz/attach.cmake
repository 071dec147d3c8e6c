# Included at the top-level project() by scripts/fuzz.sh when the top-level
# CMakeLists.txt does not add tests/fuzz itself: the targets are defined once
# the top level has defined every library they link.
set(NIMBRA_FUZZ_TARGETS_FILE ${CMAKE_CURRENT_LIST_DIR}/targets.cmake)
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL include ${NIMBRA_FUZZ_TARGETS_FILE})
