# Installs the build tree into a scratch prefix and checks what the window layer puts
# there: the program, the (empty) gateway folder, and a desktop entry and AppStream
# metainfo that their validators accept; and that the contract checker is installed
# and runs from there.
#
#   cmake -DBUILD_DIR=... -DPREFIX=... -DBINDIR=... -DGATEWAY_DIR=... -DDESKTOP=... -DMETAINFO=...
#         -P checkinstall.cmake

file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
  RESULT_VARIABLE result OUTPUT_QUIET)
if(result)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

foreach(path ${BINDIR}/Quillet ${BINDIR}/quillet-gateway-check ${GATEWAY_DIR} ${DESKTOP}
    ${METAINFO})
  if(NOT EXISTS ${PREFIX}/${path})
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
if(NOT IS_DIRECTORY ${PREFIX}/${GATEWAY_DIR})
  message(FATAL_ERROR "not a folder: ${GATEWAY_DIR}")
endif()

execute_process(COMMAND ${PREFIX}/${BINDIR}/quillet-gateway-check --help
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(result OR NOT output MATCHES "SYNOPSIS")
  message(FATAL_ERROR "installed quillet-gateway-check --help: ${result}\n${output}")
endif()

find_program(DESKTOP_FILE_VALIDATE desktop-file-validate REQUIRED)
find_program(APPSTREAMCLI appstreamcli REQUIRED)
foreach(check "${DESKTOP_FILE_VALIDATE};${PREFIX}/${DESKTOP}"
              "${APPSTREAMCLI};validate;--no-net;${PREFIX}/${METAINFO}")
  execute_process(COMMAND ${check} RESULT_VARIABLE result OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
  if(result)
    message(FATAL_ERROR "${check}: ${result}\n${output}")
  endif()
  message(STATUS "${check}: ok")
endforeach()
