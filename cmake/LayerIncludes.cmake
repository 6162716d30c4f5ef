# Which folder of src/ may include which: every layer shares src/ as its include root, so the
# compiler alone would let any file include any header. Each library's sources are scanned for
# #include lines, when the build is configured and again whenever one of them changes, and a
# header from a folder the layer may not use stops the build with the file and line.
#
# Quoted includes must name their folder ("core/json.h", "platform/x11/x_server.h"): a bare
# "x_server.h" would be found beside the including file and slip past the table. The window
# system's own headers (<xcb/...>, <X11/...>) belong to platform/x11 alone.
#
# Used two ways: include()d by the top CMakeLists.txt, which calls qor_check_layer_includes(), and
# run as a script (cmake -DLAYER=... -DSOURCE_ROOT=... -DALLOWED=... -DX11=... -DSTAMP=... -P this
# file) by the build step that repeats the check.

if(CMAKE_SCRIPT_MODE_FILE)
  cmake_policy(VERSION 3.25)  # as the project's, for if(IN_LIST)
endif()
set(QOR_LAYER_INCLUDES_SCRIPT ${CMAKE_CURRENT_LIST_FILE})

# Headers that are not in a folder: the version header generated into the build tree.
set(QOR_UNFOLDERED_HEADERS qor_version.h)

# The folder an include names: "platform/x11" for platform headers, else the first component.
function(qor_include_folder header out)
  string(REGEX MATCH "^platform/[^/]+/" folder "${header}")
  if(NOT folder)
    string(REGEX MATCH "^[^/]+/" folder "${header}")
  endif()
  string(REGEX REPLACE "/$" "" folder "${folder}")
  set(${out} "${folder}" PARENT_SCOPE)
endfunction()

# The number of the line on which `text` first appears in `content`.
function(qor_line_of content text out)
  string(FIND "${content}" "${text}" at)
  string(SUBSTRING "${content}" 0 ${at} before)
  string(REGEX MATCHALL "\n" breaks "${before}")
  list(LENGTH breaks count)
  math(EXPR line "${count} + 1")
  set(${out} ${line} PARENT_SCOPE)
endfunction()

# The reason `line` (an #include line of a file in `layer`) is refused; empty when allowed.
function(qor_include_refusal layer allowed x11 line out)
  set(reason "")
  if(line MATCHES "#[ \t]*include[ \t]*\"([^\"]+)\"")
    set(header "${CMAKE_MATCH_1}")
    qor_include_folder("${header}" folder)
    if(NOT folder)
      if(NOT header IN_LIST QOR_UNFOLDERED_HEADERS)
        set(reason "\"${header}\" does not name its folder (write \"${layer}/${header}\")")
      endif()
    elseif(NOT folder STREQUAL layer AND NOT folder IN_LIST allowed)
      set(reason "${layer} may not include \"${header}\" (from ${folder})")
    endif()
  elseif(line MATCHES "#[ \t]*include[ \t]*<((xcb|X11)/[^>]*)>")
    if(NOT x11)
      set(reason "${layer} may not include <${CMAKE_MATCH_1}>: only platform/x11 speaks X11")
    endif()
  endif()
  set(${out} "${reason}" PARENT_SCOPE)
endfunction()

# Stops with FATAL_ERROR at the first refused include of the layer's sources (src/<layer>/).
function(qor_scan_layer source_root layer allowed x11)
  file(GLOB files ${source_root}/${layer}/*.h ${source_root}/${layer}/*.cpp)
  foreach(file IN LISTS files)
    file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include")
    if(NOT includes)
      continue()
    endif()
    file(READ ${file} content)
    foreach(line IN LISTS includes)
      qor_include_refusal("${layer}" "${allowed}" "${x11}" "${line}" reason)
      if(reason)
        qor_line_of("${content}" "${line}" number)
        message(FATAL_ERROR "${file}:${number}: wrong-way include: ${reason}")
      endif()
    endforeach()
  endforeach()
endfunction()

# Checks `layer` (a folder of src/) now and before `target` is built whenever its sources change.
# ALLOWED: the other folders it may include. X11: it may include the window system's headers.
function(qor_check_layer_includes target layer)
  cmake_parse_arguments(CHECK "X11" "" "ALLOWED" ${ARGN})
  set(x11 OFF)
  if(CHECK_X11)
    set(x11 ON)
  endif()
  set(root ${CMAKE_SOURCE_DIR}/src)
  qor_scan_layer(${root} ${layer} "${CHECK_ALLOWED}" ${x11})

  file(GLOB files CONFIGURE_DEPENDS ${root}/${layer}/*.h ${root}/${layer}/*.cpp)
  string(REPLACE "/" "_" name "${layer}")
  set(stamp ${CMAKE_BINARY_DIR}/layer-includes/${name}.stamp)
  string(REPLACE ";" "," allowed "${CHECK_ALLOWED}")
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DSOURCE_ROOT=${root} -DLAYER=${layer} "-DALLOWED=${allowed}"
            -DX11=${x11} -DSTAMP=${stamp} -P ${QOR_LAYER_INCLUDES_SCRIPT}
    DEPENDS ${files} ${QOR_LAYER_INCLUDES_SCRIPT}
    COMMENT "Checking the includes of src/${layer}" VERBATIM)
  add_custom_target(${target}_includes DEPENDS ${stamp})
  add_dependencies(${target} ${target}_includes)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  string(REPLACE "," ";" allowed "${ALLOWED}")
  qor_scan_layer(${SOURCE_ROOT} ${LAYER} "${allowed}" ${X11})
  get_filename_component(stamps ${STAMP} DIRECTORY)
  file(MAKE_DIRECTORY ${stamps})
  file(TOUCH ${STAMP})
endif()
