# Automation: setpoint and sample bodies, profile validation, the sequence runner
# (a clock that jumps, a recorded device); the routes are the supply engine's.
varek_add_test(NAME api_bodies_test SOURCES unit/api_bodies_test.cpp LIBS varek-core)
varek_add_test(NAME sequence_profile_test SOURCES unit/sequence_profile_test.cpp LIBS varek-core)
varek_add_test(NAME sequence_runner_test SOURCES unit/sequence_runner_test.cpp LIBS varek-core LABELS tsan)
