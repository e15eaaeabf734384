# Installation of the C++ libraries as the CMake package ZentroxDepthCamera: the core library and the
# 3D toolkit as ZentroxDepthCamera::zentrox_depth and ZentroxDepthCamera::zentrox_toolkit (the names
# the build tree gives them as aliases), their public headers, and the two libraries behind the
# outside C interfaces that the core links.
#
# An ordinary install uses the GNU directories (lib/, include/, lib/cmake/ZentroxDepthCamera/).
# Built by pip (scikit-build-core), everything goes into the Python package directory instead, beside
# the module, where the $ORIGIN run paths find it.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Plain variables, not cached, so that they follow SKBUILD at every configure of a build tree.
if(SKBUILD)
  set(ZENTROX_INSTALL_LIBDIR ZentroxDepthCamera)
  set(ZENTROX_INSTALL_INCLUDEDIR ZentroxDepthCamera/include)
  set(ZENTROX_INSTALL_CMAKEDIR ZentroxDepthCamera/cmake)
else()
  set(ZENTROX_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR})
  set(ZENTROX_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
  set(ZENTROX_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/ZentroxDepthCamera)
endif()

install(TARGETS zentrox_depth zentrox_toolkit EXPORT ZentroxDepthCameraTargets
  LIBRARY DESTINATION ${ZENTROX_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${ZENTROX_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ DESTINATION ${ZENTROX_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")

# The core needs these at run time (its run path is $ORIGIN); they are no part of the interface.
foreach(_lib zentrox_evk_sdk si4c)
  get_target_property(_imported ${_lib} IMPORTED)
  if(NOT _imported)
    install(TARGETS ${_lib} LIBRARY DESTINATION ${ZENTROX_INSTALL_LIBDIR})
  endif()
endforeach()
foreach(_vendor ${ZENTROX_VENDOR_EVK_SDK} ${ZENTROX_VENDOR_SI4C})
  install(FILES ${_vendor} DESTINATION ${ZENTROX_INSTALL_LIBDIR})
endforeach()

install(EXPORT ZentroxDepthCameraTargets NAMESPACE ZentroxDepthCamera::
  DESTINATION ${ZENTROX_INSTALL_CMAKEDIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ZentroxDepthCameraConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ZentroxDepthCameraConfig.cmake INSTALL_DESTINATION ${ZENTROX_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ZentroxDepthCameraConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ZentroxDepthCameraConfig.cmake
  ${PROJECT_BINARY_DIR}/ZentroxDepthCameraConfigVersion.cmake DESTINATION ${ZENTROX_INSTALL_CMAKEDIR})
