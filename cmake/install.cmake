# `cmake --install build [--prefix DIR]`: the engine, its companion library, the public headers
# and the command-line host, with a pkg-config file and a CMake package for hosts:
#   pkg-config --cflags --libs zelmar
#   find_package(Zelmar REQUIRED) ... target_link_libraries(host PRIVATE Zelmar::zelmar)
include(CMakePackageConfigHelpers)

set(ZELMAR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Zelmar)

install(TARGETS zelmar EXPORT ZelmarTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
if(TARGET ZelmarEC)
  # Loaded at run time from beside libzelmar.so.
  install(TARGETS ZelmarEC LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
# The installed host finds the engine in the lib directory beside its bin directory.
file(RELATIVE_PATH ZELMAR_BIN_TO_LIB /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
set_target_properties(zelmar_cli PROPERTIES INSTALL_RPATH "\$ORIGIN/${ZELMAR_BIN_TO_LIB}")
install(TARGETS zelmar_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/zelmar/zelmar.h include/zelmar/zelmar_split.h include/zelmar/zelmar_c.h include/zelmar/zelmar_acm.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zelmar)

install(EXPORT ZelmarTargets NAMESPACE Zelmar:: DESTINATION ${ZELMAR_CMAKE_DIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/ZelmarConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/cmake/ZelmarConfig.cmake INSTALL_DESTINATION ${ZELMAR_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/ZelmarConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/cmake/ZelmarConfig.cmake ${CMAKE_BINARY_DIR}/cmake/ZelmarConfigVersion.cmake
        DESTINATION ${ZELMAR_CMAKE_DIR})

# Relocatable: the prefix is found from the file's own place, so `--prefix` at install time holds.
file(RELATIVE_PATH ZELMAR_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_SOURCE_DIR}/cmake/zelmar.pc.in ${CMAKE_BINARY_DIR}/zelmar.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/zelmar.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
