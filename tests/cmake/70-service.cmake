# Leaving varek-server running: recording, polling, link guard, metrics.
varek_add_test(NAME sample_recorder_test SOURCES unit/sample_recorder_test.cpp LIBS varek-core)
varek_add_test(NAME service_link_test SOURCES integration/service_link_test.cpp
               LIBS varek-core varek-sim-lib LABELS integration tsan)
varek_add_test(NAME metrics_server_test SOURCES integration/metrics_server_test.cpp LIBS varek-core
               LABELS integration tsan)
varek_add_python_test(NAME service_e2e SCRIPT service_test.py LABELS programs TIMEOUT 900)
# One supply engine and its API hosted in this process as varek-server hosts it:
# every route, the identity guard, ceilings, late writes, polling and supervision.
foreach(name supply_engine_test supply_engine_service_test)
  varek_add_test(NAME ${name} SOURCES integration/${name}.cpp LIBS varek-server-lib varek-sim-lib
                 LABELS integration tsan TIMEOUT 600)
endforeach()
