# orvex_add_library(NAME SOURCES ... [DEPENDS lib...] [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
#
# Builds the sources once, as the OBJECT library NAME_objects, and makes from those objects
# the SHARED library NAME (alias orvex::NAME), installed with its public headers
# (NAME/include/orvex/). DEPENDS names the orvex libraries this one builds on: the shared
# library links their shared libraries, the object library their object libraries, so that a
# test or benchmark links NAME_objects alone and gets one copy of everything below it. The
# private base layer is linked into both.
function(orvex_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  set(include_dir ${CMAKE_CURRENT_SOURCE_DIR}/include)

  add_library(${name}_objects OBJECT ${ARG_SOURCES})
  target_include_directories(${name}_objects
    PUBLIC $<BUILD_INTERFACE:${include_dir}>
    PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
  target_compile_features(${name}_objects PUBLIC cxx_std_20)
  list(TRANSFORM ARG_DEPENDS APPEND _objects OUTPUT_VARIABLE dependency_objects)
  target_link_libraries(${name}_objects
    PUBLIC ${dependency_objects} ${ARG_PUBLIC_LIBS} base
    PRIVATE ${ARG_PRIVATE_LIBS})
  # A program gets the objects only of the object libraries it links directly: remember the
  # whole set below this one for orvex_objects().
  set(closure ${name}_objects)
  foreach(dependency ${ARG_DEPENDS})
    get_property(below GLOBAL PROPERTY ORVEX_OBJECTS_${dependency})
    list(APPEND closure ${below})
  endforeach()
  list(REMOVE_DUPLICATES closure)
  set_property(GLOBAL PROPERTY ORVEX_OBJECTS_${name} ${closure})

  add_library(${name} SHARED $<TARGET_OBJECTS:${name}_objects>)
  add_library(orvex::${name} ALIAS ${name})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${include_dir}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_compile_features(${name} PUBLIC cxx_std_20)
  target_link_libraries(${name}
    PUBLIC ${ARG_DEPENDS} ${ARG_PUBLIC_LIBS}
    PRIVATE base ${ARG_PRIVATE_LIBS})
  target_link_options(${name} PRIVATE -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/exports.map)
  set_target_properties(${name} PROPERTIES LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/exports.map)
  # The libraries lie side by side. The loader takes this for the folder the executable's
  # search path named, which it has already searched once: no folder is probed twice.
  set_target_properties(${name} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION 0
                                           EXPORT_NAME ${name} INSTALL_RPATH "$ORIGIN")
  install(TARGETS ${name} EXPORT orvex_lookout_targets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(DIRECTORY include/orvex DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endfunction()

# orvex_link_objects(TARGET LIBRARY...): links TARGET with the object files of the orvex
# LIBRARY names and of everything below them, one copy of each.
function(orvex_link_objects target)
  set(objects)
  foreach(library ${ARGN})
    get_property(closure GLOBAL PROPERTY ORVEX_OBJECTS_${library})
    list(APPEND objects ${closure})
  endforeach()
  list(REMOVE_DUPLICATES objects)
  target_link_libraries(${target} PRIVATE ${objects})
endfunction()

# orvex_add_test_binary(NAME [OBJECTS lib...] [LIBS ...]): the test binary NAME from every
# *_test.cpp of the current folder, linked with the object files of the named orvex libraries,
# the other LIBS, the shared test support and gtest_main.
function(orvex_add_test_binary name)
  cmake_parse_arguments(ARG "" "" "OBJECTS;LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  add_executable(${name} ${sources})
  orvex_link_objects(${name} ${ARG_OBJECTS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} orvex_test_support GTest::gtest_main)
endfunction()
