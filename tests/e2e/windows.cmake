# The Windows program under Wine against the demo box of a Linux build of this
# tree (OSTREVANE_E2E_HOST_DIR, that build's tests/e2e folder): built with that
# build's test trust material, it runs in report mode and interactively, in the
# private network namespace of the Windows tests (scripts/test-windows.sh).

set(OSTREVANE_E2E_HOST_DIR "" CACHE PATH
    "tests/e2e of a Linux build of this tree, whose demo box and test trust the Wine tests use")
if(NOT OSTREVANE_E2E_HOST_DIR)
  message(STATUS "No OSTREVANE_E2E_HOST_DIR given: the end-to-end tests under Wine are left out")
  return()
endif()
set(trust "${OSTREVANE_E2E_HOST_DIR}/trust")
foreach(file IN ITEMS "${trust}/ca.pem" "${trust}/manifest.pub"
                      "${OSTREVANE_E2E_HOST_DIR}/ostrevane-demo-box")
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "${file} is missing: build the Linux tree's ostrevane-demo-box and "
                        "ostrevane_e2e_trust first")
  endif()
endforeach()

ostrevane_trust_library(ostrevane_trust_e2e "${trust}/ca.pem" "${trust}/manifest.pub")
add_executable(ostrevane-setup-e2e WIN32 "${PROJECT_SOURCE_DIR}/finder/src/main/main.cpp")
target_link_libraries(ostrevane-setup-e2e PRIVATE ostrevane_finder_main ostrevane_trust_e2e)
ostrevane_windows_program(ostrevane-setup-e2e)

# Each case starts the demo box on the namespace's discovery port and port 443,
# so none runs beside another test.
foreach(case IN ITEMS report-success report-not-genuine report-download report-no-installer
                      report-box-error interactive)
  add_test(NAME WineEndToEnd.${case} COMMAND bash "${CMAKE_CURRENT_SOURCE_DIR}/wine_e2e.sh" ${case})
  set_tests_properties(
    WineEndToEnd.${case}
    PROPERTIES RUN_SERIAL TRUE TIMEOUT 180
               ENVIRONMENT "OSTREVANE_E2E_SETUP=$<TARGET_FILE:ostrevane-setup-e2e>;\
OSTREVANE_E2E_DEMO_BOX=${OSTREVANE_E2E_HOST_DIR}/ostrevane-demo-box;\
OSTREVANE_E2E_TRUST_DIR=${trust};\
OSTREVANE_E2E_INSTALLER=$<TARGET_FILE:ostrevane-test-child>")
endforeach()
