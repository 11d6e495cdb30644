# vesk_add_component(NAME SOURCES ... VERSION v [PANELS ...] [DESCRIPTION text]
#                    [DESTINATION dir])
#
# Makes the loadable module NAME (NAME.so, NAME.dll) of a component built on
# the script framework, the way a control-panel host expects it:
#   - the framework (Vesk::script_helper, with its signature text) is
#     compiled in and the string library (Vesk::string) is imported;
#   - everything is hidden and the module exports its factory,
#     load_vesk_client_script, and nothing else (checked after the link);
#   - its run path names the string library's folder and no empty entry;
#   - with MinGW, the GCC runtime is linked in statically;
#   - the version record: VERSION (one to four numbers) and DESCRIPTION as an
#     ELF section ".vesk_version" or a Windows version resource;
#   - the panel layouts PANELS are copied beside the module in the build and
#     installed beside it, in DESTINATION (default: the components folder of
#     the installed tree, one folder per component).
# SOURCES must define the factory, most simply with
# VESK_DECLARE_COMPONENT(Class) (see the component template). The build fails
# when the module does not export exactly that factory.
#
# vesk_add_version_record(TARGET NAME name VERSION v [DESCRIPTION text]) gives
# a module made another way the same version record, with the host ABI
# version the host checks before it calls the factory.
include_guard(GLOBAL)

function(vesk_add_version_record target)
  set(kit ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/component)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "NAME;VERSION;DESCRIPTION" "")
  # Four numbers, as the version resource has them.
  string(REPLACE "." ";" numbers "${ARG_VERSION}")
  list(LENGTH numbers count)
  while(count LESS 4)
    list(APPEND numbers 0)
    math(EXPR count "${count} + 1")
  endwhile()
  list(JOIN numbers "." VESK_VERSION)
  list(JOIN numbers "," VESK_VERSION_COMMAS)
  set(VESK_NAME ${ARG_NAME})
  set(VESK_DESCRIPTION "${ARG_DESCRIPTION}")
  set(generated ${CMAKE_CURRENT_BINARY_DIR}/${target}_version)
  configure_file(${kit}/version_record.cpp.in ${generated}/version_record.cpp @ONLY)
  target_sources(${target} PRIVATE ${generated}/version_record.cpp)
  if(WIN32)
    configure_file(${kit}/version.rc.in ${generated}/version.rc @ONLY)
    target_sources(${target} PRIVATE ${generated}/version.rc)
  endif()
  # The record reads the host ABI version from the host header.
  target_link_libraries(${target} PRIVATE Vesk::host_abi)
endfunction()
include(${CMAKE_CURRENT_LIST_DIR}/VeskInstallLayout.cmake)

function(vesk_add_component name)
  # Found from this file, whichever folder of a project calls the function.
  include(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/VeskInstallLayout.cmake)
  set(kit ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/component)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "VERSION;DESCRIPTION;DESTINATION" "SOURCES;PANELS")
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "vesk_add_component(${name}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT ARG_SOURCES)
    message(FATAL_ERROR "vesk_add_component(${name}): SOURCES is required")
  endif()
  if(NOT ARG_VERSION MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
    message(FATAL_ERROR "vesk_add_component(${name}): VERSION must be one to four numbers "
                        "separated by dots, not '${ARG_VERSION}'")
  endif()
  if(NOT DEFINED ARG_DESCRIPTION)
    set(ARG_DESCRIPTION "${name} component")
  endif()
  if(ARG_DESCRIPTION MATCHES "[\"\\\\\n]")
    message(FATAL_ERROR "vesk_add_component(${name}): DESCRIPTION may not hold quotes, "
                        "backslashes or line ends")
  endif()
  if(NOT DEFINED ARG_DESTINATION)
    set(ARG_DESTINATION ${VESK_INSTALL_COMPONENTSDIR}/${name})
  endif()

  add_library(${name} MODULE ${ARG_SOURCES} ${kit}/factory_reference.cpp)
  vesk_add_version_record(${name} NAME ${name} VERSION ${ARG_VERSION}
                          DESCRIPTION "${ARG_DESCRIPTION}")
  target_link_libraries(${name} PRIVATE Vesk::script_helper Vesk::string)
  # The run path names every folder where the string library may be and
  # nothing else, the same in the build and installed: an empty entry would
  # be the current folder. (A run path rewritten at install is padded with
  # empty entries, so the module is linked with its final one.)
  file(RELATIVE_PATH to_libraries ${CMAKE_BINARY_DIR}/${ARG_DESTINATION}
       ${CMAKE_BINARY_DIR}/${VESK_INSTALL_PRIVATELIBDIR})
  string(REGEX REPLACE "/$" "" to_libraries "${to_libraries}")
  set(run_path "$ORIGIN/${to_libraries}")
  get_target_property(string_imported Vesk::string IMPORTED)
  if(string_imported)
    # Built against an installed kit: its library folder, for the module in
    # this build and for one installed elsewhere.
    get_target_property(string_file Vesk::string LOCATION)
    get_filename_component(string_folder "${string_file}" DIRECTORY)
    list(APPEND run_path "${string_folder}")
  else()
    # In the kit's own build the library sits beside the module.
    list(PREPEND run_path "$ORIGIN")
  endif()
  list(REMOVE_DUPLICATES run_path)
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    OUTPUT_NAME ${name}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    BUILD_WITH_INSTALL_RPATH ON
    INSTALL_RPATH "${run_path}")
  if(MINGW)
    # The module carries its own copy of the GCC runtime (libstdc++, libgcc,
    # winpthread), whatever toolchain file builds it: a host loads it with
    # nothing but system DLLs and the string library beside it.
    target_link_options(${name} PRIVATE -static)
  endif()
  if(NOT WIN32 AND NOT APPLE)
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${kit}/exports.map)
    target_link_options(${name} PRIVATE "-Wl,--version-script=${kit}/exports.map")
    # Every symbol the module needs must be resolved at link time. clang
    # leaves the sanitizer runtime to the executable, so a sanitized clang
    # build skips the check.
    if(NOT (CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND CMAKE_CXX_FLAGS MATCHES "-fsanitize"))
      target_link_options(${name} PRIVATE "-Wl,-z,defs")
    endif()
  endif()

  # The module must export its factory and nothing else. clang's sanitizer
  # and coverage builds add symbols of their runtime, so they are not checked.
  if(NOT (CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND CMAKE_CXX_FLAGS MATCHES "-fsanitize"))
    add_custom_command(TARGET ${name} POST_BUILD
      COMMAND ${CMAKE_COMMAND} "-DMODULE=$<TARGET_FILE:${name}>" "-DNM=${CMAKE_NM}"
              "-DOBJDUMP=${CMAKE_OBJDUMP}" -P ${kit}/check_exports.cmake
      VERBATIM)
  endif()

  set(panels)
  foreach(panel IN LISTS ARG_PANELS)
    get_filename_component(panel ${panel} ABSOLUTE)
    list(APPEND panels ${panel})
  endforeach()
  if(panels)
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${panels})
    # The host hands the module's own folder to it as the panel folder.
    add_custom_command(TARGET ${name} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different ${panels} $<TARGET_FILE_DIR:${name}>
      VERBATIM)
  endif()
  install(TARGETS ${name} LIBRARY DESTINATION ${ARG_DESTINATION}
                          RUNTIME DESTINATION ${ARG_DESTINATION})
  if(panels)
    install(FILES ${panels} DESTINATION ${ARG_DESTINATION})
  endif()
endfunction()
