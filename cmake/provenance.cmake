# Provenance of the build: the three build texts, their digests and the state of the
# source tree, written into a generated header on every build (only when it changes).
set(KESTRUNE_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
set(KESTRUNE_PROVENANCE_HEADER ${KESTRUNE_GENERATED_DIR}/provenance_data.hpp)
find_package(Git QUIET)
add_custom_target(kestrune_provenance
  COMMAND ${CMAKE_COMMAND}
          -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
          -DOUTPUT=${KESTRUNE_PROVENANCE_HEADER}
          -DVERSION=${PROJECT_VERSION}
          -DGIT=${GIT_EXECUTABLE}
          -P ${PROJECT_SOURCE_DIR}/cmake/write_provenance.cmake
  BYPRODUCTS ${KESTRUNE_PROVENANCE_HEADER}
  COMMENT "Recording build provenance"
  VERBATIM)
