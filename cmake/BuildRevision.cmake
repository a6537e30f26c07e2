# The build revision is re-read on every build so a new commit never ships an
# old stamp; the generated file is only touched when the revision changes.
set(VAREK_REVISION_CPP ${CMAKE_BINARY_DIR}/generated/build_revision.cpp)
add_custom_target(varek_build_revision
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DOUTPUT=${VAREK_REVISION_CPP}
          -P ${CMAKE_SOURCE_DIR}/cmake/WriteBuildRevision.cmake
  BYPRODUCTS ${VAREK_REVISION_CPP}
  COMMENT "Stamping build revision")
