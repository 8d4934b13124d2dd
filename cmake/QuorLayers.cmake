# One library target per layer of src/quor/, with the one-way rule enforced by
# the include paths.
#
# No target has src/ as an include root. Each layer <name> gets its own root,
# <build>/layer_include/<name>, holding quor/<name>/ with a link to each header
# of src/quor/<name>/ (its contract), and publishes only that root. A layer's
# sources therefore find exactly the headers of the layers it links (directly
# or through their PUBLIC links), and an include of a layer above it fails
# with "file not found".
#
# A layer's internal headers live in src/quor/<name>/internal/ and are
# included as "quor/<name>/internal/...". They sit under a second root,
# <build>/layer_include/<name>.internal, which the layer's own sources see
# (PRIVATE) and the tests see (target quor_internal), and no other layer: an
# include of another layer's internal header fails like an upward one. A
# public header may not include an internal one (the header check below
# compiles public headers without the private root).
#
# Each layer also compiles every one of its headers once, alone, each in a
# translation unit of its own, with the layer's include paths (targets
# quor_<name>_headers and quor_<name>_internal_headers; quor_header_check
# builds them all). Without that, a header that reached upwards would go
# unnoticed as long as only higher layers included it, a header that needs an
# include it lacks would pass behind the one before it, and a header-only
# layer would never be compiled at all.

set(QUOR_LAYER_INCLUDE_ROOT ${CMAKE_BINARY_DIR}/layer_include)

# quor_header_check_target(<target> <label> HEADERS <paths>... INCLUDES <dirs>...
#                          LIBS <targets>...)
# An object library <target> with one translation unit per header, holding
# `#include "<label>/<header name>"` alone, compiled with INCLUDES and the
# usage requirements of LIBS; part of quor_header_check.
function(quor_header_check_target target label)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "HEADERS;INCLUDES;LIBS")
  if(NOT arg_HEADERS)
    return()
  endif()
  set(check_sources "")
  foreach(header ${arg_HEADERS})
    get_filename_component(header_name ${header} NAME)
    get_filename_component(header_stem ${header} NAME_WE)
    set(check_source ${CMAKE_BINARY_DIR}/layer_headers/${target}/${header_stem}.cpp)
    set(include_text "${label}/${header_name}")
    if(label STREQUAL "")
      set(include_text "${header_name}")
    endif()
    file(CONFIGURE OUTPUT ${check_source}
         CONTENT "// Generated: ${include_text} alone.\n#include \"${include_text}\"\n")
    list(APPEND check_sources ${check_source})
  endforeach()
  add_library(${target} OBJECT ${check_sources})
  target_include_directories(${target} PRIVATE ${arg_INCLUDES})
  target_link_libraries(${target} PRIVATE ${arg_LIBS})
  if(NOT TARGET quor_header_check)
    add_custom_target(quor_header_check)
  endif()
  add_dependencies(quor_header_check ${target})
endfunction()

# quor_layer(<name> [DEPENDS <layer targets>...] [LIBS <external targets>...])
# DEPENDS are the lower layers this one may reach (PUBLIC); LIBS are outside
# libraries (PUBLIC too: static libraries carry them to the final link).
function(quor_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "DEPENDS;LIBS")
  set(target quor_${name})
  set(dir ${PROJECT_SOURCE_DIR}/src/quor/${name})
  set(root ${QUOR_LAYER_INCLUDE_ROOT}/${name})
  set(internal_root ${QUOR_LAYER_INCLUDE_ROOT}/${name}.internal)

  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  file(GLOB headers CONFIGURE_DEPENDS ${dir}/*.h)
  file(GLOB internal_headers CONFIGURE_DEPENDS ${dir}/internal/*.h)

  # The public root: a link per header of the layer's folder, none to its
  # internal/ folder. (REMOVE_RECURSE removes links without following them.)
  file(REMOVE_RECURSE ${root}/quor/${name})
  file(MAKE_DIRECTORY ${root}/quor/${name})
  foreach(header ${headers})
    get_filename_component(header_name ${header} NAME)
    file(CREATE_LINK ${header} ${root}/quor/${name}/${header_name} SYMBOLIC)
  endforeach()
  # The private root: quor/<name>/internal -> the internal/ folder.
  file(REMOVE_RECURSE ${internal_root})
  file(MAKE_DIRECTORY ${internal_root}/quor/${name})
  if(EXISTS ${dir}/internal)
    file(CREATE_LINK ${dir}/internal ${internal_root}/quor/${name}/internal SYMBOLIC)
  endif()
  set_property(GLOBAL APPEND PROPERTY QUOR_INTERNAL_INCLUDE_ROOTS ${internal_root})

  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${root})
    target_include_directories(${target} PRIVATE ${internal_root})
    target_link_libraries(${target} PUBLIC ${arg_DEPENDS} ${arg_LIBS})
    if(QUOR_FUZZ)
      # Coverage feedback from the library code under test, not only the targets.
      target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
    endif()
  else()
    if(internal_headers)
      message(FATAL_ERROR "layer ${name} has internal headers but no source to use them")
    endif()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${root})
    target_link_libraries(${target} INTERFACE ${arg_DEPENDS} ${arg_LIBS})
  endif()

  # The header check: public headers with the layer's public paths only, so
  # that one including an internal header fails; internal headers with the
  # private root too.
  quor_header_check_target(${target}_headers quor/${name} HEADERS ${headers}
                           INCLUDES ${root} LIBS ${arg_DEPENDS} ${arg_LIBS})
  add_dependencies(${target} ${target}_headers)
  if(internal_headers)
    quor_header_check_target(${target}_internal_headers quor/${name}/internal
                             HEADERS ${internal_headers}
                             INCLUDES ${root} ${internal_root} LIBS ${arg_DEPENDS} ${arg_LIBS})
    add_dependencies(${target} ${target}_internal_headers)
  endif()
endfunction()

# quor_internal_target(): the INTERFACE target quor_internal, every layer's
# private root (for the tests and the reference code; no engine target links
# it). Call after the last quor_layer.
function(quor_internal_target)
  get_property(roots GLOBAL PROPERTY QUOR_INTERNAL_INCLUDE_ROOTS)
  add_library(quor_internal INTERFACE)
  target_include_directories(quor_internal INTERFACE ${roots})
endfunction()
