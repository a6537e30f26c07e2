# Manual pages and shell completion: what the packages install besides programs.
add_test(NAME man_pages
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/packaging/man_pages_test.sh ${CMAKE_BINARY_DIR}/man ${CMAKE_BINARY_DIR}/bin)
add_test(NAME bash_completion
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/packaging/completion_test.sh
          ${CMAKE_SOURCE_DIR}/packaging/completion/varek.bash ${CMAKE_SOURCE_DIR}/packaging/man)
# Shell scripts only: nothing for the sanitizers to see.
set_tests_properties(man_pages bash_completion PROPERTIES LABELS "packaging;no-sanitize" TIMEOUT 60)
