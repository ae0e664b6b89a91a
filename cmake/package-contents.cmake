# SPDX-License-Identifier: MIT
# Read by CPack once for each kind of package: which install components it
# takes. The archive unpacks into one folder with the README and the license
# at its top; the .rpm carries its distribution's own documentation.

if(CPACK_GENERATOR STREQUAL "TGZ")
  set(components program man archive)
elseif(CPACK_GENERATOR STREQUAL "RPM")
  set(components program rpm)
else()
  return()
endif()

# Each entry: build folder, project, component, folder inside the package.
list(GET CPACK_INSTALL_CMAKE_PROJECTS 0 build_dir)
set(CPACK_INSTALL_CMAKE_PROJECTS "")
foreach(component IN LISTS components)
  list(APPEND CPACK_INSTALL_CMAKE_PROJECTS ${build_dir} ${CPACK_PACKAGE_NAME} ${component} /)
endforeach()
