# Installs the build tree into a scratch folder and checks what the service puts there:
# the program, its systemd unit naming that program and config file and reloading it
# with SIGHUP, the system user, and the config file, which must not let it listen off
# loopback without TLS, and whose every key, those commented out too, the program knows.
#
#   cmake -DBUILD_DIR=... -DPREFIX=... -P checkinstall.cmake
#
# DESTDIR keeps every file inside PREFIX, those with an absolute destination too (the
# config file goes to /etc when the build's prefix is /usr, as a package build's is).

file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${PREFIX}
                        ${CMAKE_COMMAND} --install ${BUILD_DIR}
  RESULT_VARIABLE result OUTPUT_QUIET)
if(result)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
file(GLOB_RECURSE installed LIST_DIRECTORIES false ${PREFIX}/*)
foreach(path sbin/quillet-gatewayd lib/systemd/system/quillet-gatewayd.service
             lib/sysusers.d/quillet.conf etc/quillet/gatewayd.conf)
  set(found ${installed})
  list(FILTER found INCLUDE REGEX "/${path}$")
  if(NOT found)
    message(FATAL_ERROR "not installed: ${path}")
  endif()
  string(REPLACE "/" "_" name ${path})
  set(${name} ${found})
endforeach()
file(READ ${lib_systemd_system_quillet-gatewayd.service} unit)
if(NOT unit MATCHES "ExecStart=[^\n]*/quillet-gatewayd --config [^\n]*/quillet/gatewayd.conf")
  message(FATAL_ERROR "the unit does not start quillet-gatewayd with its config file")
endif()
if(NOT unit MATCHES "\nExecReload=/bin/kill -HUP \\$MAINPID\n")
  message(FATAL_ERROR "the unit does not reload the service with SIGHUP")
endif()
file(READ ${etc_quillet_gatewayd.conf} conf)
if(NOT conf MATCHES "\nlisten=127.0.0.1\n")
  message(FATAL_ERROR "the installed config file does not listen on loopback")
endif()
string(REGEX REPLACE "\n;([a-z_]+=|\\[smsc)" "\n\\1" uncommented "${conf}")
file(WRITE ${PREFIX}/every-key.conf "${uncommented}")
foreach(config ${etc_quillet_gatewayd.conf} ${PREFIX}/every-key.conf)
  execute_process(COMMAND ${sbin_quillet-gatewayd} --config ${config}
    --store sqlite:${PREFIX}/check.sqlite3 token list
    RESULT_VARIABLE result ERROR_VARIABLE refusal OUTPUT_QUIET)
  if(result)
    message(FATAL_ERROR "quillet-gatewayd refuses ${config}: ${refusal}")
  endif()
endforeach()
file(REMOVE_RECURSE ${PREFIX})
