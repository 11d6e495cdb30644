# What `cmake --install` lays out and what `cpack` packs: vesk-host, the
# Varnik component with its panel layout, the string library, the examples,
# the documentation and the kit for building components elsewhere
# (find_package(VeskScriptHelper CONFIG)). Included by the top-level file
# after the targets are defined. The layout is in VeskInstallLayout.cmake.
include(CMakePackageConfigHelpers)
set(vesk_source ${PROJECT_SOURCE_DIR})
set(vesk_kit_build ${PROJECT_BINARY_DIR}/kit)

# vesk-host is part of the kit too (Vesk::vesk-host), for rehearsing
# components in their tests.
if(TARGET vesk-host)
  install(TARGETS vesk-host EXPORT VeskScriptHelper RUNTIME DESTINATION ${VESK_INSTALL_BINDIR})
endif()

file(GLOB vesk_example_files ${vesk_source}/examples/*.ini ${vesk_source}/examples/*.vesk)
install(FILES ${vesk_example_files} DESTINATION ${VESK_INSTALL_EXAMPLESDIR})
install(DIRECTORY ${vesk_source}/examples/component-template DESTINATION ${VESK_INSTALL_EXAMPLESDIR}
        PATTERN "build" EXCLUDE)
# The alarm panel's facility and scenario, and its sources as a project of
# their own.
install(DIRECTORY ${vesk_source}/examples/alarms DESTINATION ${VESK_INSTALL_EXAMPLESDIR})
install(DIRECTORY ${vesk_source}/panels/components/AlarmPanel/
        DESTINATION ${VESK_INSTALL_EXAMPLESDIR}/alarm-panel)
file(GLOB vesk_doc_files ${vesk_source}/docs/*.md ${vesk_source}/docs/*.png)
install(FILES ${vesk_source}/README.md ${vesk_doc_files} DESTINATION ${VESK_INSTALL_DOCDIR})

# The kit.
install(EXPORT VeskScriptHelper NAMESPACE Vesk:: DESTINATION ${VESK_INSTALL_CMAKEDIR}
        FILE VeskScriptHelperTargets.cmake)
configure_package_config_file(${vesk_source}/cmake/VeskScriptHelperConfig.cmake.in
  ${vesk_kit_build}/VeskScriptHelperConfig.cmake INSTALL_DESTINATION ${VESK_INSTALL_CMAKEDIR}
  NO_SET_AND_CHECK_MACRO)
write_basic_package_version_file(${vesk_kit_build}/VeskScriptHelperConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${vesk_kit_build}/VeskScriptHelperConfig.cmake
              ${vesk_kit_build}/VeskScriptHelperConfigVersion.cmake
              ${vesk_source}/cmake/VeskComponent.cmake
              ${vesk_source}/cmake/VeskInstallLayout.cmake
        DESTINATION ${VESK_INSTALL_CMAKEDIR})
install(DIRECTORY ${vesk_source}/cmake/component DESTINATION ${VESK_INSTALL_CMAKEDIR})
# The Windows kit is used from Linux too: the cross toolchains for MinGW-w64
# and the Wine runner its tests use.
if(WIN32)
  install(FILES ${vesk_source}/cmake/mingw-common.cmake ${vesk_source}/cmake/mingw32.cmake
                ${vesk_source}/cmake/mingw64.cmake
          DESTINATION ${VESK_INSTALL_CMAKEDIR}/toolchains)
  install(PROGRAMS ${vesk_source}/cmake/wine-run DESTINATION ${VESK_INSTALL_CMAKEDIR}/toolchains)
endif()

# A Debian package names its origin and history beside its documentation.
if(NOT WIN32)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${vesk_source}/cmake/debian/changelog.in ${vesk_source}/docs/man/vesk-host.1)
  string(TIMESTAMP VESK_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${vesk_source}/cmake/debian/changelog.in ${vesk_kit_build}/changelog @ONLY)
  find_program(VESK_GZIP gzip)
  if(VESK_GZIP)
    execute_process(COMMAND ${VESK_GZIP} -9nf ${vesk_kit_build}/changelog)
    install(FILES ${vesk_kit_build}/changelog.gz DESTINATION ${VESK_INSTALL_DOCDIR})
  endif()
  install(FILES ${vesk_source}/cmake/debian/copyright DESTINATION ${VESK_INSTALL_DOCDIR})
  if(VESK_GZIP)
    file(COPY ${vesk_source}/docs/man/vesk-host.1 DESTINATION ${vesk_kit_build})
    execute_process(COMMAND ${VESK_GZIP} -9nf ${vesk_kit_build}/vesk-host.1)
    install(FILES ${vesk_kit_build}/vesk-host.1.gz DESTINATION share/man/man1)
  endif()
endif()

# Packages: `cpack --config build/<preset>/CPackConfig.cmake`.
set(CPACK_PACKAGE_NAME varnik)
set(CPACK_PACKAGE_VENDOR "Varnik maintainers")
set(CPACK_PACKAGE_CONTACT "Varnik maintainers <varnik@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tally component for control-panel hosts, with a simulated host")
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Varnik is a plug-in that a broadcast control-panel host loads: it writes"
  "a tally value from a GPI contact or an info-driver slot. The package holds"
  "vesk-host, a simulated host that rehearses a facility from a scenario, the"
  "string library the plug-in imports, examples, and the kit for building"
  "further components on the same script framework.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_OUTPUT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackConfig.cmake)
set(CPACK_SOURCE_OUTPUT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackSourceConfig.cmake)
if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_SYSTEM_NAME Linux-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_GENERATOR TGZ DEB)
endif()
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The string library is private to the components (lib/vesk-host/, found
# through their run path): no shared library of the system's, so no soname
# to version and nothing for the dynamic linker's cache.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/bin)
include(CPack)
