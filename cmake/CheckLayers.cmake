# cmake -DSOURCE_DIR=<project root> -P CheckLayers.cmake
# Fails when a source file of a layer includes a header of a layer above it. Layers, lowest first,
# with the folder under src/ that holds them and the include prefix their headers go by.
set(_layers
  "platform:engine/platform"
  "toolkit:toolkit"
  "codec:engine/codec"
  "container:engine/container"
  "pfs:engine/pfs"
  "storage:engine/storage"
  "dataset:engine/dataset"
  "sql:engine/sql"
  "app:app"
  "gui:gui")

if(NOT SOURCE_DIR)
  message(FATAL_ERROR "CheckLayers: SOURCE_DIR not given")
endif()

set(_prefixes "")
foreach(_entry ${_layers})
  string(REPLACE ":" ";" _pair "${_entry}")
  list(GET _pair 0 _prefix)
  list(APPEND _prefixes ${_prefix})
endforeach()

set(_violations 0)
set(_rank 0)
foreach(_entry ${_layers})
  string(REPLACE ":" ";" _pair "${_entry}")
  list(GET _pair 0 _prefix)
  list(GET _pair 1 _dir)
  file(GLOB_RECURSE _files "${SOURCE_DIR}/src/${_dir}/*.h" "${SOURCE_DIR}/src/${_dir}/*.cpp")
  foreach(_file ${_files})
    file(STRINGS "${_file}" _includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+\"")
    foreach(_line ${_includes})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^/\"]+)/[^\"]*\".*$" "\\1" _target "${_line}")
      if(_target STREQUAL _line)
        continue()  # an include without a layer prefix (a file beside this one)
      endif()
      list(FIND _prefixes "${_target}" _targetRank)
      if(_targetRank GREATER _rank)
        file(RELATIVE_PATH _rel "${SOURCE_DIR}" "${_file}")
        string(STRIP "${_line}" _line)
        message(SEND_ERROR "${_rel}: layer '${_prefix}' includes a higher layer: ${_line}")
        math(EXPR _violations "${_violations} + 1")
      endif()
    endforeach()
  endforeach()
  math(EXPR _rank "${_rank} + 1")
endforeach()

if(_violations GREATER 0)
  message(FATAL_ERROR "CheckLayers: ${_violations} include(s) point up the layer order")
endif()
message(STATUS "CheckLayers: every include points down the layer order")
