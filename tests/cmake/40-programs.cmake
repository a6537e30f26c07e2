# varek-read and varek-server, spawned against varek-sim and driven as clients would.
varek_add_python_test(NAME read_e2e SCRIPT read_test.py LABELS programs TIMEOUT 600)
varek_add_python_test(NAME server_e2e SCRIPT server_test.py LABELS programs TIMEOUT 900)
# varek-server against hostile clients, signals at bad moments and resource exhaustion.
varek_add_python_test(NAME server_hostile_e2e LABELS programs TIMEOUT 900
                      SCRIPT server_hostile_test.Signals server_hostile_test.GoneClients server_hostile_test.Exhaustion)
# With no descriptor free, UBSan cannot probe memory for its vptr check and reports a
# false "invalid vptr": the server runs out of descriptors in the normal build only.
varek_add_python_test(NAME server_exhaustion_e2e SCRIPT server_hostile_test.DescriptorExhaustion
                      LABELS programs no-sanitize TIMEOUT 600)
