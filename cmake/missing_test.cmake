# A test that stands for tests which cannot be registered because something
# they need is missing at configure time: it is reported as skipped, and it
# fails when RRV_REQUIRE_ORACLES=1 (CI), where everything must be installed.
function(rrv_missing_test name what)
  message(STATUS "${what} not found: ${name} only reports it")
  add_test(NAME ${name}
    COMMAND sh -c "echo '${what} is not installed'; [ \"$RRV_REQUIRE_ORACLES\" = 1 ] && exit 1; exit 77")
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
endfunction()
