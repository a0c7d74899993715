# orvex_add_library(NAME): the SHARED library NAME (alias orvex::NAME) from every source of
# NAME/src/, public headers in NAME/include/orvex/, installed with its headers.
function(orvex_add_library name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp)
  add_library(${name} SHARED ${sources})
  add_library(orvex::${name} ALIAS ${name})
  target_include_directories(${name}
    PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
           $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
    PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
  set_target_properties(${name} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION 0)
  install(TARGETS ${name} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(DIRECTORY include/orvex DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endfunction()

# orvex_add_test_binary(NAME LIBRARY...): the test binary NAME from every *_test.cpp of the
# current folder, linked with the libraries, the shared test support and gtest_main.
function(orvex_add_test_binary name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARGN} orvex_test_support GTest::gtest_main)
endfunction()
