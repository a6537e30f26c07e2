# Device link: frames, registers, errors and formatting, the serial session over a
# real pseudo-terminal, and the simulated supply with its program.
varek_add_test(NAME protocol_test SOURCES unit/protocol_test.cpp LIBS varek-core)
varek_add_test(NAME device_test SOURCES unit/device_test.cpp LIBS varek-core)
varek_add_test(NAME serial_session_test SOURCES integration/serial_session_test.cpp
               LIBS varek-core varek-sim-lib LABELS integration tsan)
varek_add_test(NAME simulator_test SOURCES integration/simulator_test.cpp
               LIBS varek-core varek-sim-lib LABELS integration tsan)
target_include_directories(simulator_test PRIVATE ${CMAKE_SOURCE_DIR}/sim/src)
varek_add_python_test(NAME varek_sim_e2e SCRIPT varek_sim_test.py TIMEOUT 300)
