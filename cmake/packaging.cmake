# Installation: both shared libraries, the public headers, a CMake package
# (find_package(clastool) gives clastool::clastool) and a pkg-config file.
include(CMakePackageConfigHelpers)

set(CLASTOOL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/clastool)

# The installed libclastool finds the libclastool_platform beside it, wherever the prefix is.
set_target_properties(clastool PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS tqplatform clastool EXPORT clastoolTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/clastool)

# Every header lies under <prefix>/include/clastool, keeping its repository path below it, so that
# "clss/clastool/clastool.h" and "platform/archive.h" resolve against that one folder (which the
# package and pkg-config put on the include path) as they do against the source tree.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/clastool/platform
  FILES_MATCHING PATTERN "*.h")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/clss/clastool/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/clastool/clss/clastool
  FILES_MATCHING PATTERN "*.h")

install(EXPORT clastoolTargets NAMESPACE clastool:: DESTINATION ${CLASTOOL_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/clastoolConfig.cmake.in
  ${PROJECT_BINARY_DIR}/clastoolConfig.cmake
  INSTALL_DESTINATION ${CLASTOOL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/clastoolConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/clastoolConfig.cmake ${PROJECT_BINARY_DIR}/clastoolConfigVersion.cmake
  DESTINATION ${CLASTOOL_CMAKE_DIR})

# pkg-config: every path follows from where the .pc file itself lies (${pcfiledir}), so that
# an install under any prefix, given at configure or at install time, is found correctly.
file(RELATIVE_PATH CLASTOOL_PC_UP "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
string(REGEX REPLACE "/$" "" CLASTOOL_PC_UP "${CLASTOOL_PC_UP}")
set(CLASTOOL_PC_PREFIX "\${pcfiledir}/${CLASTOOL_PC_UP}")
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(CLASTOOL_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(CLASTOOL_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
string(APPEND CLASTOOL_PC_INCLUDEDIR "/clastool")
configure_file(${PROJECT_SOURCE_DIR}/cmake/clastool.pc.in ${PROJECT_BINARY_DIR}/clastool.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/clastool.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
