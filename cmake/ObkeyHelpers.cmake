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

# obkey_add_gtest(<name> [PREFIX <test name prefix>] SOURCES ... LIBS ...)
# One GoogleTest program registered with CTest.
function(obkey_add_gtest name)
  cmake_parse_arguments(T "" "PREFIX" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} obkey_test_headers GTest::gtest GTest::gtest_main
                                        GTest::gmock)
  # Tests derive PINs at the software token's lowest scrypt cost; the tests
  # of the cost itself set it themselves.
  gtest_discover_tests(${name} TEST_PREFIX "${T_PREFIX}" DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "OBKEY_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
               ENVIRONMENT_MODIFICATION "XCSP_TOKEN_SCRYPT_LOG2N=set:10")
endfunction()

# obkey_ship_windows_binary(<target> <description>)
# For a DLL or program that goes to users on Windows: a VERSIONINFO resource
# made from the project version, and the debug information moved into
# <file>.debug beside it (the shipped file keeps a debug link to it).
# Elsewhere it does nothing.
function(obkey_ship_windows_binary target description)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(OBKEY_RC_FILETYPE VFT_APP)
    set(suffix .exe)
  else()
    set(OBKEY_RC_FILETYPE VFT_DLL)
    set(suffix .dll)
  endif()
  get_target_property(output_name ${target} OUTPUT_NAME)
  if(NOT output_name)
    set(output_name ${target})
  endif()
  set(OBKEY_RC_DESCRIPTION "${description}")
  set(OBKEY_RC_ORIGINAL_FILENAME "${output_name}${suffix}")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}>
            $<TARGET_FILE:${target}>.debug
    COMMAND ${CMAKE_OBJCOPY} --strip-debug --add-gnu-debuglink=$<TARGET_FILE:${target}>.debug
            $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()

# obkey_client_import_libraries(<dll target> <def file> <output folder>)
# The import libraries a client links against, made from the one export list:
# lib<name>.dll.a for MinGW's ld and <name>.lib for Microsoft's linker. On
# i686 a client that includes the public header references the
# stdcall-decorated names (_OBCA_Login@8); both libraries resolve them to the
# undecorated exports of the DLL. On x86_64 there is one calling convention
# and no decoration: the client references OBCA_Login and the libraries name
# it as it is. The linker's own import library is kept out of the way.
function(obkey_client_import_libraries target def_file out_dir)
  find_program(OBKEY_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
  get_target_property(prefix ${target} PREFIX)
  if(NOT prefix)
    set(prefix "")
  endif()
  set(dll ${prefix}${target}.dll)
  set(client_def "LIBRARY ${dll}\nEXPORTS\n")
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    obkey_export_names(${def_file} names)
    foreach(name ${names})
      string(APPEND client_def "  ${name}\n")
    endforeach()
    set(kill_at "")
    set(llvm_machine i386:x86-64)
  else()
    # "NAME=NAME@n" binds an export to its decorated symbol; the client's view
    # is "NAME@n" with the decoration killed in the DLL's name table.
    file(STRINGS ${def_file} def_lines)
    foreach(line ${def_lines})
      if(line MATCHES "^[ \t]*([A-Za-z_0-9]+)=([A-Za-z_0-9]+@[0-9]+)")
        string(APPEND client_def "  ${CMAKE_MATCH_2}\n")
      endif()
    endforeach()
    set(kill_at -k)
    set(llvm_machine i386)
  endif()
  set(client_def_file ${CMAKE_CURRENT_BINARY_DIR}/${target}-client.def)
  file(WRITE ${client_def_file} "${client_def}")
  set_target_properties(${target} PROPERTIES
    ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/linker-implib)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out_dir}
    COMMAND ${CMAKE_DLLTOOL} ${kill_at} -d ${client_def_file} -D ${dll} -l ${out_dir}/lib${target}.dll.a
    COMMAND ${OBKEY_LLVM_DLLTOOL} -m ${llvm_machine} ${kill_at} -d ${client_def_file} -D ${dll}
            -l ${out_dir}/${target}.lib
    COMMAND ${CMAKE_COMMAND} -E copy ${client_def_file} ${out_dir}/${target}.def
    VERBATIM)
endfunction()

# obkey_undecorated_def(<def file> <out def file>)
# The export list with every export bound to the symbol of its own name: what
# the x86_64 linker wants, where no symbol carries a stdcall decoration.
function(obkey_undecorated_def def_file out_file)
  obkey_export_names(${def_file} names)
  file(STRINGS ${def_file} library_line REGEX "^LIBRARY")
  set(text "${library_line}\nEXPORTS\n")
  foreach(name ${names})
    string(APPEND text "  ${name}\n")
  endforeach()
  file(WRITE ${out_file} "${text}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def_file})
endfunction()

# obkey_export_names(<def file> <out list>)
# The export names of a .def file ("NAME" or "NAME=SYMBOL"), in file order.
function(obkey_export_names def_file out_list)
  file(STRINGS ${def_file} def_lines)
  set(names "")
  foreach(line ${def_lines})
    if(line MATCHES "^[ \t]+([A-Za-z_][A-Za-z_0-9]*)")
      list(APPEND names ${CMAKE_MATCH_1})
    endif()
  endforeach()
  set(${out_list} ${names} PARENT_SCOPE)
endfunction()

# obkey_version_script_from_def(<def file> <map file>)
# A Linux version script that exports exactly the names of a .def file.
function(obkey_version_script_from_def def_file map_file)
  obkey_export_names(${def_file} names)
  set(text "{\n  global:\n")
  foreach(name ${names})
    string(APPEND text "    ${name};\n")
  endforeach()
  string(APPEND text "  local:\n    *;\n};\n")
  file(WRITE ${map_file} "${text}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def_file})
endfunction()

# obkey_vendor_version_script(<target> <library name>)
# A library implementing a vendor interface exports exactly the names of that
# interface's export list, include/vendor/<library name>.def.
function(obkey_vendor_version_script target library_name)
  set(map_file ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
  obkey_version_script_from_def(${PROJECT_SOURCE_DIR}/include/vendor/${library_name}.def
                                ${map_file})
  target_link_options(${target} PRIVATE -Wl,--version-script=${map_file})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map_file})
endfunction()

# obkey_find_softhsm2()
# The one lookup of SoftHSMv2's PKCS #11 module (OBKEY_SOFTHSM2_MODULE), for
# the tests and the benchmarks; scripts/lib.sh's obkey_softhsm_module looks
# in the same places. A test dependency (scripts/deps.sh): without it the
# configure fails rather than testing less.
# obkey_gzip(SOURCE OUT): OUT is SOURCE compressed as Debian wants shipped
# documentation (gzip -9n: best, no name or time stamp), remade when SOURCE
# changes.
function(obkey_gzip source out)
  get_filename_component(name ${out} NAME)
  add_custom_command(OUTPUT ${out}
    COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh ${source} ${out}
    DEPENDS ${source} VERBATIM)
  add_custom_target(gzip_${name} ALL DEPENDS ${out})
endfunction()

function(obkey_find_softhsm2)
  find_library(OBKEY_SOFTHSM2_MODULE NAMES softhsm2
    PATHS /usr/lib/softhsm /usr/lib/x86_64-linux-gnu/softhsm /usr/local/lib/softhsm
    NO_DEFAULT_PATH REQUIRED)
endfunction()
