# obkey_import_library(<target> <def file> <dll name>)
# Windows: an import library made from our own .def file, so that obkey links
# to a vendor DLL by name only and the vendor's real DLL drops in.
function(obkey_import_library target def_file)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/lib${target}.a)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_DLLTOOL} -d ${def_file} -l ${out}
    DEPENDS ${def_file}
    COMMENT "Import library ${target} from ${def_file}")
  add_custom_target(${target}_implib DEPENDS ${out})
  add_library(${target} STATIC IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES IMPORTED_LOCATION ${out})
  add_dependencies(${target} ${target}_implib)
endfunction()

# obkey_add_gtest(<name> SOURCES ... LIBS ...)
# One GoogleTest program registered with CTest.
function(obkey_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "OBKEY_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()

# obkey_add_subsystem_folders()
# Adds every folder below the current one that has a CMakeLists.txt, in name
# order, leaving out those named in OBKEY_SKIP_DIRS: each subsystem keeps its
# tests in a folder of its own.
function(obkey_add_subsystem_folders)
  file(GLOB folders LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT folders)
  foreach(folder ${folders})
    get_filename_component(subsystem ${folder} NAME)
    if(IS_DIRECTORY ${folder} AND EXISTS ${folder}/CMakeLists.txt
       AND NOT subsystem IN_LIST OBKEY_SKIP_DIRS)
      add_subdirectory(${folder})
    endif()
  endforeach()
endfunction()
