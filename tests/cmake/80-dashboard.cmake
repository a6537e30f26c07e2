# The browser dashboard: its read-only routes, the page files and a real browser.
varek_add_python_test(NAME dashboard_e2e SCRIPT dashboard_test.py LABELS programs TIMEOUT 900)
varek_add_python_test(NAME dashboard_page_e2e SCRIPT dashboard_page_test.py LABELS programs TIMEOUT 600)
