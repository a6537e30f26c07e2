# Desktop application: the Y-range rule and the chart's span arithmetic (pure), the
# dashboard and the control menu (sequence editor, presets) driven through Qt Test
# against a simulated supply on a real pseudo-terminal,
# and the trend chart's hover, zoom and pan over a history fed to the model, offscreen.
if(VAREK_BUILD_APP AND TARGET varek-studio-view)
  find_package(Qt6 REQUIRED COMPONENTS Test)
  varek_add_test(NAME studio_chart_range_test SOURCES gui/chart_range_test.cpp gui/qt_test_main.cpp
                 LIBS varek-studio-view)
  varek_add_test(NAME studio_chart_span_test SOURCES gui/chart_span_test.cpp LIBS varek-studio-view)
  varek_add_test(NAME studio_dashboard_test SOURCES gui/dashboard_test.cpp gui/qt_test_main.cpp
                 LIBS varek-studio-view varek-sim-lib Qt6::Test
                 LABELS gui integration TIMEOUT 600
                 ENVIRONMENT "QT_QPA_PLATFORM=offscreen;VAREK_SCREENSHOT_DIR=${CMAKE_BINARY_DIR}/screenshots")
  varek_add_test(NAME studio_automation_test SOURCES gui/automation_test.cpp gui/qt_test_main.cpp
                 LIBS varek-studio-view varek-sim-lib Qt6::Test
                 LABELS gui integration TIMEOUT 600
                 ENVIRONMENT "QT_QPA_PLATFORM=offscreen;VAREK_SCREENSHOT_DIR=${CMAKE_BINARY_DIR}/screenshots"
                             "VAREK_EXAMPLES_DIR=${PROJECT_SOURCE_DIR}/examples")
  varek_add_test(NAME studio_trend_interaction_test SOURCES gui/trend_interaction_test.cpp gui/qt_test_main.cpp
                 LIBS varek-studio-view varek-sim-lib Qt6::Test LABELS gui
                 ENVIRONMENT "QT_QPA_PLATFORM=offscreen;VAREK_SCREENSHOT_DIR=${CMAKE_BINARY_DIR}/screenshots")
  varek_add_test(NAME studio_bench_test SOURCES gui/bench_test.cpp gui/qt_test_main.cpp
                 LIBS varek-studio-view varek-sim-lib Qt6::Test
                 LABELS gui integration TIMEOUT 600
                 ENVIRONMENT "QT_QPA_PLATFORM=offscreen;VAREK_SCREENSHOT_DIR=${CMAKE_BINARY_DIR}/screenshots"
                             "VAREK_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
  set_tests_properties(studio_chart_range_test studio_chart_span_test PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endif()

# The application spawned from its command line, stopped by a signal.
if(VAREK_BUILD_APP)
  varek_add_python_test(NAME studio_e2e SCRIPT studio_test.py LABELS studio)
endif()
