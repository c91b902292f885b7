# The Python package qef64 for one interpreter, QEF64_PYTHON: the extension
# qef64._qef64 over the static library, gathered with the package's Python
# files into build/python/ (make python), and its tests.

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
  ${CMAKE_CURRENT_LIST_DIR}/builder.cc)
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

set(qef64_python_files __init__.py __init__.pyi py.typed)
foreach(file ${qef64_python_files})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/qef64/${file}
    ${qef64_python_dir}/${file} COPYONLY)
endforeach()

if(QEF64_TESTS)
  set(qef64_python_env
    PYTHONPATH=${PROJECT_BINARY_DIR}/python
    QEF64_BIN_DIR=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
    QEF64_SOURCE_DIR=${PROJECT_SOURCE_DIR}
    PYTHONDONTWRITEBYTECODE=1)
  set(qef64_python_tests mapping builder lifetime recipes)
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
endif()
