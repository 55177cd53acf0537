# The QtCore headers nearly every file includes, compiled once and reused by every
# target of the project: parsing them is most of a file's compile time. Twice: code for
# libraries and plugins (-fPIC) and for programs (-fPIE) may not share one.
set(quillet_pch_headers
  <QByteArray> <QCoreApplication> <QDateTime> <QDir> <QElapsedTimer> <QFile> <QFileInfo>
  <QHash> <QJsonArray> <QJsonDocument> <QJsonObject> <QList> <QObject> <QProcess>
  <QRegularExpression> <QString> <QStringList> <QTemporaryDir> <QTextStream> <QThread>
  <QTimer> <QVariant> <functional> <memory> <optional> <vector>)
add_library(quillet_pch_library STATIC ${CMAKE_CURRENT_LIST_DIR}/pch.cpp)
add_executable(quillet_pch_program ${CMAKE_CURRENT_LIST_DIR}/pch.cpp)
foreach(pch quillet_pch_library quillet_pch_program)
  target_link_libraries(${pch} PRIVATE quillet_common Qt6::Core)
  target_precompile_headers(${pch} PRIVATE ${quillet_pch_headers})
endforeach()

# quillet_reuse_pch(<directory>): every C++ library and executable defined in the
# directory and below it takes quillet_pch's headers.
function(quillet_reuse_pch dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    get_target_property(imported ${target} IMPORTED)
    if(target MATCHES "^quillet_pch_" OR imported OR type STREQUAL INTERFACE_LIBRARY
       OR type STREQUAL UTILITY)
      continue()
    endif()
    get_target_property(sources ${target} SOURCES)
    # Only what reaches Qt has its headers to fall back on (and compiles as Qt asks).
    get_target_property(libraries ${target} LINK_LIBRARIES)
    list(FILTER libraries EXCLUDE REGEX "^quillet_(common|includes)$")
    if(NOT sources MATCHES "\\.cpp" OR NOT libraries MATCHES "Qt6::|quillet_")
      continue()
    endif()
    if(type STREQUAL EXECUTABLE)
      target_precompile_headers(${target} REUSE_FROM quillet_pch_program)
    else()
      target_precompile_headers(${target} REUSE_FROM quillet_pch_library)
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    quillet_reuse_pch(${subdir})
  endforeach()
endfunction()
