# Installation, in three components that make package turns into the Debian
# packages of the same split:
#   lib    libqef64-0     the shared library libqef64.so.0
#   dev    libqef64-dev   <qef64/qef64.h>, <qef64/qef64.hpp>, libqef64.a, the
#                         libqef64.so link, the CMake package (find_package
#                         (qef64) gives qef64::qef64 and qef64::qef64_static),
#                         the pkg-config module and qef64(3)
#   tools  qef64-tools    the five programs, the qef64 command, their pages,
#                         qef64(5) and the command's bash completion
# make install installs all of them.

include(CMakePackageConfigHelpers)

set(QEF64_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qef64)

set(qef64_programs qef64make qef64get qef64dump qef64stats qef64test)
foreach(program ${qef64_programs})
  install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT tools)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/${program}.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/docs/qef64.5
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man5 COMPONENT tools)

install(TARGETS qef64_shared EXPORT qef64Targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib
    NAMELINK_COMPONENT dev)
install(TARGETS qef64_static EXPORT qef64Targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
# Only the public headers: the runtime and the engines stay private.
install(FILES ${PROJECT_SOURCE_DIR}/include/qef64/qef64.h
  ${PROJECT_SOURCE_DIR}/include/qef64/qef64.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qef64 COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/docs/qef64.3
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT dev)

install(EXPORT qef64Targets NAMESPACE qef64:: DESTINATION ${QEF64_CMAKE_DIR}
  COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/qef64Config.cmake.in
  ${PROJECT_BINARY_DIR}/qef64Config.cmake INSTALL_DESTINATION ${QEF64_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qef64ConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qef64Config.cmake
  ${PROJECT_BINARY_DIR}/qef64ConfigVersion.cmake DESTINATION ${QEF64_CMAKE_DIR}
  COMPONENT dev)

# The .pc file is written at install time: the prefix it names is the one of
# `cmake --install --prefix`, or CPack's, not the one configured.
install(CODE "
  set(QEF64_VERSION \"${PROJECT_VERSION}\")
  set(QEF64_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(QEF64_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(pc_file \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/qef64.pc\")
  message(STATUS \"Installing: \${pc_file}\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/qef64.pc.in\" \"\${pc_file}\" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${pc_file}\")
" COMPONENT dev)

# make package: one .deb per component, under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qef64)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "qef64 maintainers")
set(CPACK_PACKAGE_CONTACT "qef64 maintainers <maintainers@qef64.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "read-only hash-indexed key-value database files")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev tools ${QEF64_EXTRA_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libqef64-0)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_PACKAGE_DEPENDS "libc6, ${QEF64_SYSTEM_DEBIAN_DEPENDS}")
# A shlibs file and the trigger that runs ldconfig after installation.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_COMPONENT_LIB_DESCRIPTION
  "read-only hash-indexed key-value database files: shared library
The C interface for opening, looking up, walking and building qef64
database files, as the shared library libqef64.so.0.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libqef64-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The archive's users link cJSON and libcrypto too; the CMake package finds
# cJSON through pkg-config.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "libqef64-0 (= ${PROJECT_VERSION}), libcjson-dev, libssl-dev, pkgconf | pkg-config")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "read-only hash-indexed key-value database files: development files
The C header <qef64/qef64.h>, the C++ header <qef64/qef64.hpp>, the static
library, the CMake package, the pkg-config module and the qef64(3) page.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME qef64-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
# The qef64 command links libraries of Debian's (simdjson, libcsv,
# libcrypto, the C++ runtime): dpkg-shlibdeps (dpkg-dev) names their
# packages, libc6 among them. Without it CPack takes the list given.
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
find_program(QEF64_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NOT QEF64_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libc6")
endif()
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "read-only hash-indexed key-value database files: programs
Five programs that build, look up, dump, measure and verify qef64 database
files, and the qef64 command, which builds from TSV, CSV and JSON lines,
looks many keys up and dumps in those formats; with their manual pages,
the file format's page and the command's bash completion.")
include(CPack)
