# CMake package file of an installed ZentroxDepthCamera (pip install): the core library and its
# public header as the imported target ZentroxDepthCamera::zentrox_depth, and the 3D toolkit
# (intrinsics, point clouds, depth filters) as ZentroxDepthCamera::zentrox_toolkit.
#
#   find_package(ZentroxDepthCamera REQUIRED)   # with CMAKE_PREFIX_PATH at the installed package
#   target_link_libraries(app PRIVATE ZentroxDepthCamera::zentrox_depth ZentroxDepthCamera::zentrox_toolkit)
get_filename_component(_zentrox_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
if(NOT TARGET ZentroxDepthCamera::zentrox_depth)
  find_package(Threads REQUIRED)
  add_library(ZentroxDepthCamera::zentrox_depth SHARED IMPORTED)
  set_target_properties(ZentroxDepthCamera::zentrox_depth PROPERTIES
    IMPORTED_LOCATION "${_zentrox_root}/libzentrox_depth.so"
    INTERFACE_INCLUDE_DIRECTORIES "${_zentrox_root}/include"
    INTERFACE_COMPILE_FEATURES cxx_std_17
    INTERFACE_LINK_LIBRARIES Threads::Threads)
endif()
if(NOT TARGET ZentroxDepthCamera::zentrox_toolkit)
  add_library(ZentroxDepthCamera::zentrox_toolkit SHARED IMPORTED)
  set_target_properties(ZentroxDepthCamera::zentrox_toolkit PROPERTIES
    IMPORTED_LOCATION "${_zentrox_root}/libzentrox_toolkit.so"
    INTERFACE_INCLUDE_DIRECTORIES "${_zentrox_root}/include"
    INTERFACE_COMPILE_FEATURES cxx_std_17)
endif()
set(ZentroxDepthCamera_FOUND TRUE)
unset(_zentrox_root)
