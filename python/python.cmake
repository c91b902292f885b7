# The Python package qef64 for one interpreter, QEF64_PYTHON: the extension
# qef64._qef64 over the static library, gathered with the package's Python
# files into build/python/ (make python), installed as the component
# python (the Debian package python3-qef64), and its tests.
#
# Included, not added as a subdirectory, from the top-level CMakeLists.txt:
# the CPack settings below must reach cmake/install.cmake.

# Debian's Python packages serve /usr/bin/python3 only; a python3 found
# first on PATH may be another build, so the default is named.
set(QEF64_PYTHON /usr/bin/python3 CACHE FILEPATH
  "The Python interpreter the package qef64 is built for")
set(Python3_EXECUTABLE ${QEF64_PYTHON})
# FindPython keeps the headers it found for the last interpreter when their
# version fits the next one; another interpreter starts afresh.
if(NOT "${qef64_python_found_for}" STREQUAL "${QEF64_PYTHON}")
  foreach(var _Python3_EXECUTABLE _Python3_INCLUDE_DIR
      _Python3_INTERPRETER_PROPERTIES _Python3_INTERPRETER_SIGNATURE
      _Python3_DEVELOPMENT_MODULE_SIGNATURE)
    unset(${var} CACHE)
  endforeach()
  set(qef64_python_found_for ${QEF64_PYTHON} CACHE INTERNAL "")
endif()
find_package(Python3 COMPONENTS Interpreter Development.Module)

if(NOT Python3_Development.Module_FOUND)
  set(reason "no Python headers for ${QEF64_PYTHON} (apt-get install python3-dev, or run tests/python/deps.sh as root, then configure again)")
  message(STATUS "python: ${reason}; the package qef64 is not built")
  if(QEF64_TESTS)
    add_test(NAME Python.NotBuilt
      COMMAND ${CMAKE_COMMAND} -E echo "skipped: ${reason}")
    set_tests_properties(Python.NotBuilt PROPERTIES
      SKIP_REGULAR_EXPRESSION "skipped:")
  endif()
  return()
endif()

set(qef64_python_dir ${PROJECT_BINARY_DIR}/python/qef64)
Python3_add_library(qef64_python MODULE WITH_SOABI
  ${CMAKE_CURRENT_LIST_DIR}/module.cc
  ${CMAKE_CURRENT_LIST_DIR}/database.cc
  ${CMAKE_CURRENT_LIST_DIR}/iterator.cc
  ${CMAKE_CURRENT_LIST_DIR}/builder.cc
  ${CMAKE_CURRENT_LIST_DIR}/sharded.cc)
target_include_directories(qef64_python PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(qef64_python PRIVATE qef64_static)
qef64_warnings(qef64_python)
# The module exports PyInit__qef64 alone; the library inside it stays
# private to it. Like the library, it needs no C++ runtime.
set_target_properties(qef64_python PROPERTIES
  OUTPUT_NAME _qef64
  LIBRARY_OUTPUT_DIRECTORY ${qef64_python_dir}
  CXX_VISIBILITY_PRESET hidden
  LINKER_LANGUAGE C)
target_link_options(qef64_python PRIVATE -Wl,--exclude-libs,ALL)

set(qef64_python_files __init__.py __init__.pyi py.typed sharded.py dask.py)
foreach(file ${qef64_python_files})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/qef64/${file}
    ${qef64_python_dir}/${file} COPYONLY)
endforeach()

# Installed under the prefix where the interpreter looks for packages: for
# Debian's, lib/python3.X/dist-packages, which it searches under /usr/local
# (make install) and under /usr (the .deb); for any other, the
# site-packages of its layout (make install PREFIX=its prefix).
execute_process(COMMAND ${Python3_EXECUTABLE} -c [[
import sysconfig
if 'deb_system' in sysconfig.get_scheme_names():
    print('lib/python%s/dist-packages' % sysconfig.get_config_var('py_version_short'))
else:
    print(sysconfig.get_path('platlib', 'posix_prefix',
                             vars={'base': '', 'platbase': ''}).lstrip('/'))
]] OUTPUT_VARIABLE qef64_python_site OUTPUT_STRIP_TRAILING_WHITESPACE)
set(QEF64_PYTHON_INSTALL_DIR "" CACHE STRING
  "Where to install the package qef64, relative to the prefix (empty: the interpreter's own place)")
if(QEF64_PYTHON_INSTALL_DIR)
  set(qef64_python_site ${QEF64_PYTHON_INSTALL_DIR})
endif()
message(STATUS "python: qef64 for ${QEF64_PYTHON} ${Python3_VERSION}, installed into <prefix>/${qef64_python_site}")

install(TARGETS qef64_python LIBRARY DESTINATION ${qef64_python_site}/qef64
  COMPONENT python)
list(TRANSFORM qef64_python_files PREPEND ${CMAKE_CURRENT_LIST_DIR}/qef64/
  OUTPUT_VARIABLE qef64_python_sources)
install(FILES ${qef64_python_sources}
  DESTINATION ${qef64_python_site}/qef64 COMPONENT python)
install(FILES ${PROJECT_SOURCE_DIR}/docs/qef64-python.3
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT python)

math(EXPR qef64_python_next "${Python3_VERSION_MINOR} + 1")
list(APPEND QEF64_EXTRA_COMPONENTS python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-qef64)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
# The extension is built for one minor version of the interpreter, and
# links the library's system libraries.
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
  "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}), python3 (<< ${Python3_VERSION_MAJOR}.${qef64_python_next}), libc6, ${QEF64_SYSTEM_DEBIAN_DEPENDS}")
# qef64.dask, the sharded build on a Dask cluster, wants Dask.
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-dask, python3-distributed")
# Maintainer scripts that byte-compile the package and clean up after it;
# the packages install under /usr (cmake/install.cmake).
foreach(script postinst prerm)
  set(package python3-qef64)
  set(site /usr/${qef64_python_site})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${script}.in
    ${PROJECT_BINARY_DIR}/python/debian/${script} @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
      GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  list(APPEND CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/python/debian/${script})
endforeach()
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
  "read-only hash-indexed key-value database files: Python 3 package
The package qef64: open database files as read-only mappings of bytes keys,
with zero-copy views and batched lookups, and build them safely (a
temporary file, fsync, rename). Needs no other qef64 package.")

if(QEF64_TESTS)
  set(qef64_python_env
    PYTHONPATH=${PROJECT_BINARY_DIR}/python
    QEF64_BIN_DIR=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
    QEF64_SOURCE_DIR=${PROJECT_SOURCE_DIR}
    PYTHONDONTWRITEBYTECODE=1)
  if(TARGET qef64_faults)
    list(APPEND qef64_python_env QEF64_FAULTS_LIB=$<TARGET_FILE:qef64_faults>)
  endif()
  set(qef64_python_tests mapping builder builder_open lifetime recipes sharded
    misuse cold verify)
  if(QEF64_SANITIZE)
    # A sanitized extension needs the sanitizer's runtime loaded before
    # anything else in the (plain) interpreter.
    execute_process(COMMAND ${CMAKE_CXX_COMPILER}
      -print-file-name=libclang_rt.asan-x86_64.so
      OUTPUT_VARIABLE qef64_asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${qef64_asan_runtime}" OR NOT EXISTS "${qef64_asan_runtime}")
      execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
        OUTPUT_VARIABLE qef64_asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
    endif()
    if(IS_ABSOLUTE "${qef64_asan_runtime}" AND EXISTS "${qef64_asan_runtime}")
      # The interpreter leaks on purpose at exit.
      list(APPEND qef64_python_env LD_PRELOAD=${qef64_asan_runtime}
        ASAN_OPTIONS=detect_leaks=0)
    else()
      set(qef64_python_tests)
      add_test(NAME Python.NotSanitized COMMAND ${CMAKE_COMMAND} -E echo
        "skipped: no shared AddressSanitizer runtime to load the sanitized extension into ${QEF64_PYTHON}")
      set_tests_properties(Python.NotSanitized PROPERTIES
        SKIP_REGULAR_EXPRESSION "skipped:")
    endif()
  else()
    # Installs the package, and builds a copy of the sources with pip (and
    # so CMake) in a fresh virtual environment: a plain build only, since
    # that build is a plain one whatever this one is. The Dask build, whose
    # worker processes would each load the sanitizer runtime, also runs on
    # the plain build only.
    list(APPEND qef64_python_tests install dask)
  endif()
  foreach(name ${qef64_python_tests})
    # -X dev: the debug memory allocator and checks of API misuse, such as
    # memory freed without the GIL.
    add_test(NAME Python.${name}
      COMMAND ${Python3_EXECUTABLE} -X dev -m unittest discover
        -s ${PROJECT_SOURCE_DIR}/tests/python -p test_${name}.py -v)
    set_tests_properties(Python.${name} PROPERTIES
      ENVIRONMENT "${qef64_python_env}" TIMEOUT 600)
  endforeach()
  if(TEST Python.install)
    set_tests_properties(Python.install PROPERTIES ENVIRONMENT
      "${qef64_python_env};QEF64_BUILD_DIR=${PROJECT_BINARY_DIR};QEF64_CMAKE=${CMAKE_COMMAND};QEF64_INSTALL_PREFIX=${CMAKE_INSTALL_PREFIX};QEF64_PYTHON_SITE=${qef64_python_site}")
  endif()
  if(TARGET install_test)
    # The install and package checks look for the package too.
    target_compile_definitions(install_test PRIVATE
      QEF64_PYTHON_SITE="${qef64_python_site}")
  endif()
endif()
