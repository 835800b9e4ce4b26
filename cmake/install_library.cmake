# Install rules of the kaltro package: every installed library joins one
# export set (kaltro::NAME targets, found with find_package(kaltro)) and gets
# a pkg-config file of its own.
include(CMakePackageConfigHelpers)

set(KALTRO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kaltro CACHE STRING
    "Installation directory of the CMake package files, relative to the prefix or absolute")
set(KALTRO_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig CACHE STRING
    "Installation directory of the pkg-config files, relative to the prefix or absolute")
# Headers go to a folder of their own; consumers get that folder on their
# include path and write #include "kaltro.h".
set(KALTRO_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/kaltro)
# The package version file promises compatibility within one minor version,
# so the soname changes with every minor version: libkaltro.so.MAJOR.MINOR.
set(KALTRO_SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})

# A pkg-config path: relative installation directories hang off ${prefix}.
function(kaltro_pc_path var dir)
  if(IS_ABSOLUTE "${dir}")
    set(${var} "${dir}" PARENT_SCOPE)
  else()
    set(${var} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

# kaltro_install_library(TARGET PC_NAME name DESCRIPTION text HEADERS h...
#                        [REQUIRES pc-module...])
# Installs a library of the package: the library (static, or shared with the
# project's version and the soname above), its public headers under
# include/kaltro/, its target in the export set (kaltro::<EXPORT_NAME>, by
# default the target's name) and the pkg-config file PC_NAME.pc; REQUIRES
# names the pkg-config modules it is built on.
function(kaltro_install_library target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "PC_NAME;DESCRIPTION" "HEADERS;REQUIRES")
  set_target_properties(${target} PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${KALTRO_SOVERSION} PUBLIC_HEADER "${arg_HEADERS}")
  target_include_directories(${target} PUBLIC $<INSTALL_INTERFACE:${KALTRO_INCLUDE_DIR}>)
  install(TARGETS ${target} EXPORT kaltro-targets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    PUBLIC_HEADER DESTINATION ${KALTRO_INCLUDE_DIR})

  # The pkg-config file finds its prefix from where it lies, so a tree
  # installed with --prefix or moved afterwards stays usable.
  if(IS_ABSOLUTE "${KALTRO_PKGCONFIG_DIR}")
    set(pc_prefix ${CMAKE_INSTALL_PREFIX})
  else()
    file(RELATIVE_PATH up /${KALTRO_PKGCONFIG_DIR} /)
    string(REGEX REPLACE "/$" "" up "${up}")
    set(pc_prefix "\${pcfiledir}/${up}")
  endif()
  kaltro_pc_path(pc_libdir ${CMAKE_INSTALL_LIBDIR})
  kaltro_pc_path(pc_includedir ${KALTRO_INCLUDE_DIR})
  get_target_property(pc_lib ${target} OUTPUT_NAME)
  if(NOT pc_lib)
    set(pc_lib ${target})
  endif()
  set(pc_name ${arg_PC_NAME})
  set(pc_description ${arg_DESCRIPTION})
  string(JOIN " " pc_requires ${arg_REQUIRES})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/library.pc.in
                 ${PROJECT_BINARY_DIR}/pkgconfig/${arg_PC_NAME}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${arg_PC_NAME}.pc
          DESTINATION ${KALTRO_PKGCONFIG_DIR})
endfunction()

# The CMake package of the whole export set: targets, config and version
# files, installed and also usable from the build tree (kaltro_DIR=build).
function(kaltro_install_package)
  install(EXPORT kaltro-targets NAMESPACE kaltro:: DESTINATION ${KALTRO_CMAKE_DIR})
  export(EXPORT kaltro-targets NAMESPACE kaltro::
         FILE ${PROJECT_BINARY_DIR}/kaltro-targets.cmake)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kaltro-config.cmake.in
    ${PROJECT_BINARY_DIR}/kaltro-config.cmake INSTALL_DESTINATION ${KALTRO_CMAKE_DIR})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/kaltro-config-version.cmake
    COMPATIBILITY SameMinorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/kaltro-config.cmake
                ${PROJECT_BINARY_DIR}/kaltro-config-version.cmake
          DESTINATION ${KALTRO_CMAKE_DIR})
endfunction()
