# SCPI instrument and its TCP server.
varek_add_test(NAME scpi_instrument_test
  SOURCES unit/scpi_instrument_test.cpp
  LIBS varek-core)
varek_add_test(NAME scpi_line_buffer_test
  SOURCES unit/scpi_line_buffer_test.cpp
  LIBS varek-core)
varek_add_test(NAME scpi_server_test
  SOURCES integration/scpi_server_test.cpp
  LIBS varek-core varek-sim-lib
  LABELS integration tsan)
# A real VISA client against varek-server and a simulated supply..
varek_add_python_test(NAME scpi_pyvisa_test SCRIPT pyvisa_test.py TIMEOUT 300)
