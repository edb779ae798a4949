# Meter protocols, first and second version: messages, conversions, commands
# (kivsvc_core), the emulator's own reading of their payloads (kivsvc_emu), and
# their tests. Included from the top level once both libraries exist.
set(Q7XX_SRC ${CMAKE_CURRENT_LIST_DIR})
set(Q7XX_EMU ${CMAKE_CURRENT_LIST_DIR}/../emu)

target_sources(kivsvc_core PRIVATE
  ${Q7XX_SRC}/src/q7xx_scaling.cpp
  ${Q7XX_SRC}/src/q7xx_cfgfields.cpp
  ${Q7XX_SRC}/src/q7xx_v2_config.cpp
  ${Q7XX_SRC}/src/q7xx_v2_cookie.cpp
  ${Q7XX_SRC}/src/q7xx_v2_extdcfg.cpp
  ${Q7XX_SRC}/src/q7xx_v2_measure.cpp
  ${Q7XX_SRC}/src/q7xx_v2_hwsettings.cpp
  ${Q7XX_SRC}/src/q7xx_v2_commands.cpp
  ${Q7XX_SRC}/src/q7xx_v1_config.cpp
  ${Q7XX_SRC}/src/q7xx_v1_commands.cpp)
target_link_libraries(kivsvc_core PUBLIC kivsvc-common-1)

target_sources(kivsvc_emu PRIVATE
  ${Q7XX_EMU}/src/q7xx_v1_state.cpp
  ${Q7XX_EMU}/src/q7xx_v2_state.cpp)

rux_test(kivsvc_q7xx_proto_test
  SOURCES
    ${Q7XX_SRC}/test/q7xx_scaling_test.cpp
    ${Q7XX_SRC}/test/q7xx_v2_msgs_test.cpp
    ${Q7XX_SRC}/test/q7xx_v1_msgs_test.cpp
  LINKS
    kivsvc_core)
# Test programs sit in the build tree beside the other tests of their directory.
if(TARGET kivsvc_q7xx_proto_test)
  target_include_directories(kivsvc_q7xx_proto_test PRIVATE ${Q7XX_SRC}/test)
  set_target_properties(kivsvc_q7xx_proto_test PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/drivers/kivsvc/src)
endif()

# Both versions through the real driver against emulated meters.
rux_test(kivsvc_q7xx_proto_e2e_test CONCURRENCY
  SOURCES
    ${Q7XX_EMU}/test/q7xx_proto_e2e_test.cpp
  LINKS
    kivsvc_emu
    kivsvc_core)
if(TARGET kivsvc_q7xx_proto_e2e_test)
  target_include_directories(kivsvc_q7xx_proto_e2e_test PRIVATE ${Q7XX_EMU}/test)
  set_target_properties(kivsvc_q7xx_proto_e2e_test PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/drivers/kivsvc/emu)
endif()

rux_fuzzer(q7xx_proto_parse_fuzz
  SOURCES
    ${Q7XX_SRC}/test/fuzz/q7xx_proto_parse_fuzz.cpp
  LINKS
    kivsvc_core)
