# cmake --install: the shared library (with its SONAME link), the public
# headers, the emulator library, lumo_session and lumo, a CMake package
# (find_package(libLumoUsb) gives Lumo::LumoUsb and, with the virtual
# backend, Lumo::Emulator) and a pkg-config file (lumo-usb).
include(CMakePackageConfigHelpers)

set(lumo_install_targets LumoUsb)
if(TARGET LumoEmulator)
  set_target_properties(LumoEmulator PROPERTIES EXPORT_NAME Emulator)
  list(APPEND lumo_install_targets LumoEmulator)
endif()
# Installed programs and the emulator find the library beside or below
# them wherever the prefix is.
if(NOT WIN32)
  set_target_properties(lumo_session PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  set_target_properties(lumo PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  if(TARGET LumoEmulator)
    set_target_properties(LumoEmulator PROPERTIES INSTALL_RPATH "$ORIGIN")
  endif()
endif()
install(TARGETS ${lumo_install_targets} EXPORT libLumoUsbTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS lumo_session lumo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/lumo DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libLumoUsb)

set(lumo_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/libLumoUsb)
install(EXPORT libLumoUsbTargets NAMESPACE Lumo:: DESTINATION ${lumo_cmake_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/libLumoUsbConfig.cmake.in
  ${PROJECT_BINARY_DIR}/libLumoUsbConfig.cmake INSTALL_DESTINATION ${lumo_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/libLumoUsbConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/libLumoUsbConfig.cmake
  ${PROJECT_BINARY_DIR}/libLumoUsbConfigVersion.cmake DESTINATION ${lumo_cmake_dir})

# The pkg-config file finds the prefix relative to where it lies.
file(RELATIVE_PATH LUMO_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/lumo-usb.pc.in ${PROJECT_BINARY_DIR}/lumo-usb.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/lumo-usb.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
