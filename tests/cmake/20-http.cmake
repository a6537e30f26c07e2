# HTTP control API: request parser, reply writer, token file, control server,
# output request queue.
varek_add_test(NAME http_test SOURCES unit/http_test.cpp LIBS varek-core)
varek_add_test(NAME api_token_test SOURCES unit/api_token_test.cpp LIBS varek-core)
varek_add_test(NAME output_request_queue_test SOURCES unit/output_request_queue_test.cpp LIBS varek-core
               LABELS tsan)
varek_add_test(NAME control_server_test SOURCES integration/control_server_test.cpp LIBS varek-core
               LABELS tsan TIMEOUT 600)
# Not in the sanitizer stage: with every descriptor taken, UBSan cannot probe memory
# for its vptr check (it needs a pipe) and reports a false "invalid vptr".
varek_add_test(NAME listener_limits_test SOURCES integration/listener_limits_test.cpp LIBS varek-core
               LABELS integration no-sanitize)
varek_add_test(NAME device_worker_test SOURCES unit/device_worker_test.cpp LIBS varek-core LABELS tsan)
varek_add_test(NAME control_api_router_test SOURCES unit/control_api_router_test.cpp LIBS varek-core)
