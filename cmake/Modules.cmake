# Modules keep the layers.
#
# Every module's headers are reached as "<module>/<file>.h". A module does not
# see the source tree: it sees a folder of its own in the build tree holding
# one link, <module> -> the module's sources, and the same folders of the
# modules it declares (transitively, through target_link_libraries). An
# #include of a module it did not declare finds nothing and fails to build.

# A folder in the build tree that shows only `subdir` of the sources, under
# its own name (subdir may have several levels: tools/standin shows as tools/standin).
function(lumigrab_include_stage out subdir)
  string(REPLACE "/" "_" stage_name ${subdir})
  set(stage ${CMAKE_BINARY_DIR}/include/${stage_name})
  get_filename_component(parent ${stage}/${subdir} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  if(NOT EXISTS ${stage}/${subdir})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${subdir} ${stage}/${subdir} SYMBOLIC)
  endif()
  set(${out} ${stage} PARENT_SCOPE)
endfunction()

# lumigrab_module(<name> SOURCES <files in <name>/> [DEPS <modules>] [LIBS <targets>])
# A static library lumigrab_<name>. DEPS are other modules by name, visible to
# this module's users too; LIBS are outside libraries, kept to this module.
function(lumigrab_module name)
  cmake_parse_arguments(M "" "" "SOURCES;DEPS;LIBS" ${ARGN})
  list(TRANSFORM M_SOURCES PREPEND ${PROJECT_SOURCE_DIR}/${name}/)
  file(GLOB headers ${PROJECT_SOURCE_DIR}/${name}/*.h)
  add_library(lumigrab_${name} STATIC ${M_SOURCES} ${headers})
  lumigrab_include_stage(stage ${name})
  target_include_directories(lumigrab_${name} PUBLIC ${stage})
  list(TRANSFORM M_DEPS PREPEND lumigrab_)
  target_link_libraries(lumigrab_${name} PUBLIC ${M_DEPS} Threads::Threads PRIVATE ${M_LIBS})
endfunction()

# One GoogleTest program per folder under tests/, linked against what it names.
function(lumigrab_tests name)
  cmake_parse_arguments(T "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${name}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(test_${name} ${srcs})
  target_link_libraries(test_${name} PRIVATE ${T_DEPS} lumigrab_test_support GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(test_${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT ${LUMIGRAB_TEST_TIMEOUT})
endfunction()
