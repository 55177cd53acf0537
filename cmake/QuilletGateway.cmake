# The identifiers of the gateway boundary, written once. The gateway layer's header
# (gatewayids.h), every component's plugin metadata and the tests' components are
# configured from these two variables.
set(QUILLET_GATEWAY_CLIENT_IID "{3B8F0D62-5C1E-4E0A-9F47-2D6A81C4B905}")
set(QUILLET_SMS_GATEWAY_CLASS_ID "{9E4C7A21-6B3D-4F58-8D12-C0A5E7B93F64}")

# quillet_component_metadata(<target> <file> [CLASS_ID id] [INTERFACE_ID iid]): writes the
# plugin metadata <file> that the target's Q_PLUGIN_METADATA(... FILE "<file>") names,
# declaring the class identifier (default: the SMS gateway client's) and the interface
# identifier (default: GatewayClient's), and puts it on the target's include path,
# where moc finds it.
function(quillet_component_metadata target file)
  cmake_parse_arguments(ARG "" "CLASS_ID;INTERFACE_ID" "" ${ARGN})
  set(COMPONENT_CLASS_ID ${QUILLET_SMS_GATEWAY_CLASS_ID})
  set(COMPONENT_INTERFACE_ID ${QUILLET_GATEWAY_CLIENT_IID})
  if(ARG_CLASS_ID)
    set(COMPONENT_CLASS_ID ${ARG_CLASS_ID})
  endif()
  if(ARG_INTERFACE_ID)
    set(COMPONENT_INTERFACE_ID ${ARG_INTERFACE_ID})
  endif()
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_metadata)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/component.json.in ${dir}/${file} @ONLY)
  target_include_directories(${target} PRIVATE ${dir})
endfunction()
