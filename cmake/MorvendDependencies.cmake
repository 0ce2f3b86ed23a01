# oneTBB, Boost (headers) and nlohmann/json as the targets TBB::tbb,
# Boost::headers and nlohmann_json::nlohmann_json.
#
# Each comes from the Python environment's PyPI package when it is installed
# there (tbb-devel, boost-headers, nlohmann-json: the build requirements of
# pyproject.toml, so `pip install .` needs no system package), and otherwise
# from the system (Debian: libtbb-dev, libboost-dev, nlohmann-json3-dev).
# The configure log names the copy each one came from.
#
# Sets MORVEND_TBB_FROM_PYTHON when TBB came from the Python environment: its
# library then lives in the (possibly temporary) build environment and the
# module has to carry its own copy.

set(MORVEND_BOOST_MIN 1.81)          # boost::unordered_flat_map
# The JSON reader uses only nlohmann/json's public API (sax_parse and the
# json_sax events); the floor is the oldest release the build is tested with,
# the same as pyproject.toml's.
set(MORVEND_NLOHMANN_JSON_MIN 3.11.2)

set(_pypi_tbb_dir "")
set(_pypi_boost_include "")
set(_pypi_json_include "")
if(MORVEND_PYPI_DEPS AND Python_Interpreter_FOUND)
  execute_process(
    COMMAND "${Python_EXECUTABLE}" "${CMAKE_CURRENT_LIST_DIR}/pypi_deps.py"
    OUTPUT_VARIABLE _pypi_out
    RESULT_VARIABLE _pypi_status
    ERROR_VARIABLE _pypi_err)
  if(NOT _pypi_status EQUAL 0)
    message(FATAL_ERROR "cmake/pypi_deps.py failed under ${Python_EXECUTABLE}:\n${_pypi_err}")
  endif()
  string(REGEX MATCH "TBB_DIR=([^\n]*)" _ "${_pypi_out}")
  set(_pypi_tbb_dir "${CMAKE_MATCH_1}")
  string(REGEX MATCH "BOOST_INCLUDE=([^\n]*)" _ "${_pypi_out}")
  set(_pypi_boost_include "${CMAKE_MATCH_1}")
  string(REGEX MATCH "NLOHMANN_JSON_INCLUDE=([^\n]*)" _ "${_pypi_out}")
  set(_pypi_json_include "${CMAKE_MATCH_1}")
endif()

# --- oneTBB -------------------------------------------------------------------
set(MORVEND_TBB_FROM_PYTHON OFF)
if(_pypi_tbb_dir)
  # Forced: a TBB_DIR cached by an earlier configure may name another
  # environment (pip's build environments are temporary).
  set(TBB_DIR "${_pypi_tbb_dir}" CACHE PATH "oneTBB's CMake package" FORCE)
  find_package(TBB REQUIRED COMPONENTS tbb CONFIG PATHS "${_pypi_tbb_dir}" NO_DEFAULT_PATH)
  set(MORVEND_TBB_FROM_PYTHON ON)
  set(_tbb_origin "PyPI tbb-devel")
else()
  find_package(TBB REQUIRED COMPONENTS tbb)
  set(_tbb_origin "system")
endif()
get_target_property(_tbb_includes TBB::tbb INTERFACE_INCLUDE_DIRECTORIES)
message(STATUS "morvend: oneTBB ${TBB_VERSION} (${_tbb_origin}) from ${TBB_DIR}, headers ${_tbb_includes}")

# --- Boost headers ----------------------------------------------------------------
# The PyPI package has headers only, no CMake package: the target is made here.
if(_pypi_boost_include)
  file(STRINGS "${_pypi_boost_include}/boost/version.hpp" _boost_line
       REGEX "^#define BOOST_VERSION [0-9]+")
  string(REGEX REPLACE "^#define BOOST_VERSION ([0-9]+).*" "\\1" _boost_num "${_boost_line}")
  math(EXPR _boost_major "${_boost_num} / 100000")
  math(EXPR _boost_minor "${_boost_num} / 100 % 1000")
  math(EXPR _boost_patch "${_boost_num} % 100")
  set(Boost_VERSION "${_boost_major}.${_boost_minor}.${_boost_patch}")
  if(Boost_VERSION VERSION_LESS MORVEND_BOOST_MIN)
    message(FATAL_ERROR "boost-headers ${Boost_VERSION} in ${_pypi_boost_include} is older than "
                        "${MORVEND_BOOST_MIN}: pip install 'boost-headers>=${MORVEND_BOOST_MIN}'")
  endif()
  add_library(Boost::headers INTERFACE IMPORTED)
  set_target_properties(Boost::headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${_pypi_boost_include}")
  set(_boost_includes "${_pypi_boost_include}")
  set(_boost_origin "PyPI boost-headers")
else()
  find_package(Boost ${MORVEND_BOOST_MIN} REQUIRED CONFIG)
  set(_boost_includes "${Boost_INCLUDE_DIRS}")
  set(_boost_origin "system, ${Boost_DIR}")
endif()
message(STATUS "morvend: Boost ${Boost_VERSION} (${_boost_origin}) headers ${_boost_includes}")

# --- nlohmann/json ----------------------------------------------------------------
if(_pypi_json_include)
  # The version macros moved from json.hpp to abi_macros.hpp in 3.11.
  set(_json_version_header "${_pypi_json_include}/nlohmann/detail/abi_macros.hpp")
  if(NOT EXISTS "${_json_version_header}")
    set(_json_version_header "${_pypi_json_include}/nlohmann/json.hpp")
  endif()
  file(STRINGS "${_json_version_header}" _json_lines
       REGEX "^#define NLOHMANN_JSON_VERSION_(MAJOR|MINOR|PATCH) [0-9]+")
  string(REGEX REPLACE ".*MAJOR ([0-9]+).*MINOR ([0-9]+).*PATCH ([0-9]+).*" "\\1.\\2.\\3"
         nlohmann_json_VERSION "${_json_lines}")
  if(NOT nlohmann_json_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "no nlohmann/json version in ${_json_version_header}")
  endif()
  # The upstream CMake package adds no definitions with its default options,
  # so a bare include directory builds the same code.
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_pypi_json_include}")
  set(_json_includes "${_pypi_json_include}")
  set(_json_origin "PyPI nlohmann-json")
else()
  find_package(nlohmann_json ${MORVEND_NLOHMANN_JSON_MIN} REQUIRED CONFIG)
  get_target_property(_json_includes nlohmann_json::nlohmann_json INTERFACE_INCLUDE_DIRECTORIES)
  set(_json_origin "system, ${nlohmann_json_DIR}")
endif()
if(nlohmann_json_VERSION VERSION_LESS MORVEND_NLOHMANN_JSON_MIN)
  message(FATAL_ERROR "nlohmann/json ${nlohmann_json_VERSION} (${_json_origin}): morvend needs "
                      ">=${MORVEND_NLOHMANN_JSON_MIN} "
                      "(pip install 'nlohmann-json>=${MORVEND_NLOHMANN_JSON_MIN}')")
endif()
message(STATUS "morvend: nlohmann/json ${nlohmann_json_VERSION} (${_json_origin}) headers ${_json_includes}")
