# Installation: the five programs, the engine as one static library with its
# headers, a CMake package (find_package(qef64) gives qef64::qef64), a
# pkg-config module, the manual pages, and a Debian package through CPack.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QEF64_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qef64)

# One archive, libqef64.a, made of the objects of qef64_runtime and qef64_db,
# so that a consumer names one library whichever parts it uses; the linker
# still takes only the members a program needs (each standard stream is its
# own member). Nothing is compiled twice.
add_library(qef64 STATIC
  $<TARGET_OBJECTS:qef64_runtime> $<TARGET_OBJECTS:qef64_db>)
set_target_properties(qef64 PROPERTIES LINKER_LANGUAGE CXX)
target_compile_features(qef64 INTERFACE cxx_std_20)
# Headers are installed under include/qef64 in their source folders, so a
# consumer includes "db/reader.h" exactly as the project's own code does.
target_include_directories(qef64 INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/qef64>)
add_library(qef64::qef64 ALIAS qef64)

set(qef64_programs qef64make qef64get qef64dump qef64stats qef64test)
foreach(program ${qef64_programs})
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

install(TARGETS qef64 EXPORT qef64Targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
file(GLOB qef64_runtime_headers ${PROJECT_SOURCE_DIR}/runtime/*.h)
file(GLOB qef64_db_headers ${PROJECT_SOURCE_DIR}/db/*.h)
install(FILES ${qef64_runtime_headers}
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qef64/runtime)
install(FILES ${qef64_db_headers}
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qef64/db)

install(EXPORT qef64Targets NAMESPACE qef64:: DESTINATION ${QEF64_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/qef64Config.cmake.in
  ${PROJECT_BINARY_DIR}/qef64Config.cmake INSTALL_DESTINATION ${QEF64_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qef64ConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qef64Config.cmake
  ${PROJECT_BINARY_DIR}/qef64ConfigVersion.cmake DESTINATION ${QEF64_CMAKE_DIR})

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
")

foreach(program ${qef64_programs})
  install(FILES ${PROJECT_SOURCE_DIR}/docs/${program}.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/docs/qef64.5
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)

# make package: a .deb with everything above under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qef64)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "qef64 maintainers")
set(CPACK_PACKAGE_CONTACT "qef64 maintainers <maintainers@qef64.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "read-only hash-indexed key-value database: programs and C++ library")
set(CPACK_PACKAGE_DESCRIPTION
  "Five programs that build, look up, dump, measure and verify read-only
hash-indexed key-value database files, with the engine as a static C++
library, its headers, a CMake package and a pkg-config module.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
include(CPack)
