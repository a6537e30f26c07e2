# The browser dashboard: the page files varek-server serves, and a real browser.
varek_add_python_test(NAME dashboard_page_e2e SCRIPT dashboard_page_test.py LABELS programs TIMEOUT 600)

# The page in Debian's chromium driven by playwright-core (tests/browser, installed
# with npm ci by scripts/test.sh); skips only where node or chromium is missing.
add_test(NAME dashboard_browser COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/browser/run.sh)
set_tests_properties(dashboard_browser PROPERTIES TIMEOUT 600 LABELS "e2e;browser;no-sanitize"
  ENVIRONMENT "VAREK_BIN_DIR=${CMAKE_BINARY_DIR}/bin;VAREK_SCREENSHOT_DIR=${CMAKE_BINARY_DIR}/screenshots")
