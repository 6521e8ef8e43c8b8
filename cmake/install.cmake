# Installation: the shared library with its SONAME links, the public headers
# under include/kitecore/, a CMake package (find_package(kitecore CONFIG)
# gives kitecore::kitecore) and kitecore.pc.  Every installed path is
# relative to the install prefix, so `cmake --install --prefix DIR` works for
# any DIR, and nothing installed refers to the build or source tree.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KITE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kitecore)
set(KITE_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS kitecore EXPORT kitecoreTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${KITE_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kitecore)
install(EXPORT kitecoreTargets NAMESPACE kitecore:: DESTINATION ${KITE_CMAKE_DIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kitecoreConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kitecoreConfig.cmake
  INSTALL_DESTINATION ${KITE_CMAKE_DIR})
# The SONAME changes with the major version, and so does compatibility.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kitecoreConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kitecoreConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/kitecoreConfigVersion.cmake
        DESTINATION ${KITE_CMAKE_DIR})

# kitecore.pc finds the prefix from its own place (${pcfiledir}) unless the
# directories were given as absolute paths.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(KITE_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(KITE_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(KITE_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH up "/${KITE_PKGCONFIG_DIR}" "/")
  string(REGEX REPLACE "/$" "" up "${up}")
  set(KITE_PC_PREFIX "\${pcfiledir}/${up}")
  set(KITE_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(KITE_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/kitecore.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/kitecore.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kitecore.pc DESTINATION ${KITE_PKGCONFIG_DIR})
