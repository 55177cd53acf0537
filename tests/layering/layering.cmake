cmake_minimum_required(VERSION 3.25)
# The product's folders depend one way, and a folder is reached from outside only
# through its public headers. Run with -DSOURCE_DIR=<top of the tree>; fails listing
# every include that breaks a rule. Tests, benchmarks and fuzzers look inside freely.

# <folder> <the folders it may include from>
set(uses_ui              console gateway)
set(uses_console         gateway)
set(uses_checker         gateway)
set(uses_gateway         "")
set(uses_protocol        gateway)
set(uses_gateway/local   gateway)
set(uses_gateway/remote  gateway protocol)
set(uses_service         gateway gateway/local protocol service/link)
set(uses_service/link    gateway)
set(uses_tools           gateway gateway/local gateway/remote protocol)

# <file> <the folders it may include from>, where a file may reach further than its
# folder: a link sees the store through gateway/linkstore.h alone, and only the links'
# composition root builds the store's queue; the link's texts split as the gateway
# counts their segments.
set(uses_service/link/linkservice.h   gateway gateway/local)
set(uses_service/link/linkservice.cpp gateway gateway/local)
set(uses_service/link/smstext.cpp     gateway gateway/local)

# <folder> <its headers other folders may include>; a folder not named has none.
set(public_console        console.h consoletexts.h consoleview.h)
set(public_gateway        gatewayclient.h gatewayids.h gatewayloader.h gatewaytexts.h linkstore.h
                          operatorbackend.h operatorreports.h result.h status.h tokendesk.h
                          variant.h)
set(public_gateway/local  applicationapi.h inputrules.h linkqueue.h localbackend.h localgateway.h
                          messageview.h outbox.h passwordhasher.h sendtime.h
                          segmentcounter.h smppaccounts.h store.h storelocation.h)
set(public_gateway/remote remotegateway.h)
set(public_protocol       calls.h wire.h)
# The SMPP codec, its framing and the SMS texts serve the SMPP server too.
set(public_service/link   linkobserver.h linkservice.h linksettings.h ownthread.h pdureader.h
                          smpppdu.h smstext.h)

set(folders ui console checker gateway protocol gateway/local gateway/remote service service/link
  tools)
set(broken "")
foreach(folder IN LISTS folders)
  file(GLOB sources ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cpp)
  foreach(source IN LISTS sources)
    file(STRINGS ${source} includes REGEX "^#include \"[^\"]+\"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" header "${line}")
      get_filename_component(from ${header} DIRECTORY)
      get_filename_component(name ${header} NAME)
      if(from STREQUAL folder OR from STREQUAL "")
        continue()
      endif()
      file(RELATIVE_PATH where ${SOURCE_DIR} ${source})
      if(DEFINED uses_${where})
        set(allowed ${uses_${where}})
      else()
        set(allowed ${uses_${folder}})
      endif()
      if(NOT from IN_LIST allowed)
        list(APPEND broken "${where}: ${folder}/ may not use ${from}/ (${header})")
      elseif(NOT name IN_LIST public_${from})
        list(APPEND broken "${where}: ${header} is private to ${from}/")
      endif()
    endforeach()
  endforeach()
endforeach()
if(broken)
  list(JOIN broken "\n" report)
  message(FATAL_ERROR "includes across the layers:\n${report}")
endif()
