# Build helpers shared by every layer.

set(TESVAR_WARNINGS -Wall -Wextra)
if(TESVAR_WERROR)
  list(APPEND TESVAR_WARNINGS -Werror)
endif()

if(TESVAR_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

# tesvar_layer(NAME DIR DEPS...)
# One static library per layer made of every .cpp in DIR (picked up at build time, so adding a file
# needs no edit here). A layer without sources yet is an interface library. DEPS are the layers and
# libraries below it; linking encodes the layer order.
function(tesvar_layer name dir)
  file(GLOB _sources CONFIGURE_DEPENDS "${dir}/*.cpp")
  if(_sources)
    add_library(${name} STATIC ${_sources})
    target_compile_options(${name} PRIVATE ${TESVAR_WARNINGS})
    target_link_libraries(${name} PUBLIC ${ARGN})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src/engine ${PROJECT_SOURCE_DIR}/src)
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${ARGN})
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src/engine ${PROJECT_SOURCE_DIR}/src)
  endif()
endfunction()

# tesvar_layer_tests(LAYER DIR)
# One GoogleTest executable per layer from every .cpp in DIR. Tests whose suite or name contains
# "Slow" get the label `slow`, those containing "Fault" the label `fault`. Every test runs with the
# collation locale forced to ru_RU, so that orders of names and texts do not depend on the machine.
function(tesvar_layer_tests layer dir)
  file(GLOB _sources CONFIGURE_DEPENDS "${dir}/*.cpp")
  if(NOT _sources)
    return()
  endif()
  set(_target test_${layer})
  add_executable(${_target} ${_sources})
  target_compile_options(${_target} PRIVATE ${TESVAR_WARNINGS})
  target_link_libraries(${_target} PRIVATE ${layer} tesvar_testsupport GTest::gtest GTest::gtest_main GTest::gmock)
  gtest_discover_tests(${_target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    TEST_FILTER "-*Slow*:*Fault*" PROPERTIES LABELS "${layer}" ENVIRONMENT "TESVAR_LOCALE=ru_RU")
  gtest_discover_tests(${_target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    TEST_FILTER "*Fault*" PROPERTIES LABELS "${layer};fault" ENVIRONMENT "TESVAR_LOCALE=ru_RU")
  gtest_discover_tests(${_target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    TEST_FILTER "*Slow*:-*Fault*" PROPERTIES LABELS "${layer};slow" ENVIRONMENT "TESVAR_LOCALE=ru_RU")
endfunction()
