# One library target per layer of src/quor/, with the one-way rule enforced by
# the include paths.
#
# No target has src/ as an include root. Each layer <name> gets its own root,
# <build>/layer_include/<name>, holding a single link quor/<name> -> src/quor/<name>,
# and publishes only that root. A layer's sources therefore find exactly the
# headers of the layers it links (directly or through their PUBLIC links), and
# an include of a layer above it fails with "file not found".
#
# Each layer also compiles every one of its headers once, alone, each in a
# translation unit of its own, with the layer's include paths (target
# quor_<name>_headers; quor_header_check builds them all). Without that, a
# header that reached upwards would go unnoticed as long as only higher layers
# included it, a header that needs an include it lacks would pass behind the
# one before it, and a header-only layer would never be compiled at all.

set(QUOR_LAYER_INCLUDE_ROOT ${CMAKE_BINARY_DIR}/layer_include)

# quor_layer(<name> [DEPENDS <layer targets>...] [LIBS <external targets>...])
# DEPENDS are the lower layers this one may reach (PUBLIC); LIBS are outside
# libraries (PUBLIC too: static libraries carry them to the final link).
function(quor_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "DEPENDS;LIBS")
  set(target quor_${name})
  set(dir ${PROJECT_SOURCE_DIR}/src/quor/${name})
  set(root ${QUOR_LAYER_INCLUDE_ROOT}/${name})

  file(MAKE_DIRECTORY ${root}/quor)
  file(REMOVE ${root}/quor/${name})
  file(CREATE_LINK ${dir} ${root}/quor/${name} SYMBOLIC)

  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  file(GLOB headers CONFIGURE_DEPENDS ${dir}/*.h)
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${root})
    target_link_libraries(${target} PUBLIC ${arg_DEPENDS} ${arg_LIBS})
    if(QUOR_FUZZ)
      # Coverage feedback from the library code under test, not only the targets.
      target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
    endif()
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${root})
    target_link_libraries(${target} INTERFACE ${arg_DEPENDS} ${arg_LIBS})
  endif()

  # The header check: one translation unit per header, holding that header
  # alone and compiled with the layer's own include paths, so that a header
  # which leans on another one included before it fails here.
  set(check_sources "")
  foreach(header ${headers})
    get_filename_component(header_name ${header} NAME)
    get_filename_component(header_stem ${header} NAME_WE)
    set(check_source ${CMAKE_BINARY_DIR}/layer_headers/${name}/${header_stem}.cpp)
    file(CONFIGURE OUTPUT ${check_source}
         CONTENT "// Generated: quor/${name}/${header_name} alone.\n#include \"quor/${name}/${header_name}\"\n")
    list(APPEND check_sources ${check_source})
  endforeach()
  add_library(${target}_headers OBJECT ${check_sources})
  target_include_directories(${target}_headers PRIVATE ${root})
  target_link_libraries(${target}_headers PRIVATE ${arg_DEPENDS} ${arg_LIBS})
  add_dependencies(${target} ${target}_headers)
  if(NOT TARGET quor_header_check)
    add_custom_target(quor_header_check)
  endif()
  add_dependencies(quor_header_check ${target}_headers)
endfunction()
