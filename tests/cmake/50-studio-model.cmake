# TrendSeries (pure, core) and the desktop application's model: a simulated supply
# on a real pseudo-terminal, HTTP and SCPI on loopback, a QCoreApplication event loop.
varek_add_test(NAME trend_series_test SOURCES unit/trend_series_test.cpp LIBS varek-core)

if(VAREK_BUILD_APP AND TARGET varek-studio-model)
  find_package(Qt6 REQUIRED COMPONENTS Test)
  set(VAREK_MODEL_TEST_LIBS varek-studio-model varek-sim-lib Qt6::Test)
  foreach(name power_model_test power_model_api_test power_model_files_test power_model_history_test
                power_model_recording_test power_model_automation_test)
    varek_add_test(NAME ${name} SOURCES integration/${name}.cpp
                   LIBS ${VAREK_MODEL_TEST_LIBS} LABELS integration TIMEOUT 600)
  endforeach()

  # Polling steadiness, CSV export and history memory of the model (needs Qt, so it
  # is built here rather than with the Qt-free benchmark tools).
  if(VAREK_BENCH)
    add_executable(polling_steadiness_tool ${PROJECT_SOURCE_DIR}/bench/polling_steadiness.cpp)
    target_link_libraries(polling_steadiness_tool PRIVATE varek-studio-model varek-sim-lib)
    set_target_properties(polling_steadiness_tool PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  endif()
endif()
