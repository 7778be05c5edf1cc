# The layering table: what each library may link, and what it is refused. Run with
# cmake -DORQ_SOURCE_DIR=<source> -P test_layers.cmake.
cmake_minimum_required(VERSION 3.25)
include(${ORQ_SOURCE_DIR}/cmake/OrqLayers.cmake)

# expect(<library> "<refused links>" <linked>...)
function(expect lib want)
  orq_layer_violations(got ${lib} ${ARGN})
  if(NOT "${got}" STREQUAL "${want}")
    message(SEND_ERROR "${lib} linking '${ARGN}': refused '${got}', expected '${want}'")
  endif()
endfunction()

# Downward links, direct or through a layer between, pass; other targets are not judged.
expect(orq_http "" orq_core PkgConfig::MHD Threads::Threads)
expect(orq_rest "" orq_http orq_xml orq_core)
expect(orq_rest "" orq_service orq_node orq_zigbee)
expect(orq_broker "" orq_rest orq_xml orq_service orq_node orq_core orq_http)
expect(orq_node "" orq_core orq_zigbee)
# The HTTP library reaches neither the XML layer nor anything of ZigBee.
expect(orq_http "orq_xml" orq_core orq_xml)
expect(orq_http "orq_node;orq_zigbee;orq_service" orq_node orq_zigbee orq_service)
# Upward and sideways links.
expect(orq_xml "orq_http;orq_rest" orq_service orq_http orq_rest)
expect(orq_core "orq_node" orq_node)
expect(orq_node "orq_broker" orq_broker)
expect(orq_sim "orq_core" orq_core)
# A library missing from the table is never below anything.
expect(orq_rest "orq_unknown" orq_unknown)
