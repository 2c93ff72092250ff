# SPDX-License-Identifier: MIT
# thistle and sorrel as a C program adopts them. The versioned library is part
# of the runtime (kestrel loads it by that name); the header, a pkg-config file
# and the unversioned link make the dev component (the kestrel-dev package).

# pkg-config files go where pkg-config looks for this architecture's.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(KESTREL_INSTALL_PKGCONFIGDIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig)
else()
  set(KESTREL_INSTALL_PKGCONFIGDIR lib/pkgconfig)
endif()

# kestrel_public_library(TARGET VERSION HEADER DESCRIPTION): the shared
# library TARGET at VERSION (its major is the SONAME's), exporting only what
# HEADER declares, installed with HEADER and TARGET.pc. The library's
# *_version() returns KESTREL_LIBRARY_VERSION.
function(kestrel_public_library target version header description)
  string(REGEX MATCH "^[0-9]+" major ${version})
  set_target_properties(${target} PROPERTIES VERSION ${version} SOVERSION ${major}
                                             CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_compile_definitions(${target} PRIVATE KESTREL_LIBRARY_VERSION="${version}")
  install(TARGETS ${target} LIBRARY DESTINATION ${KESTREL_INSTALL_LIBDIR}
          COMPONENT runtime NAMELINK_COMPONENT dev)
  install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestrel COMPONENT dev)
  # The pkg-config file names the prefix installed to, known only when
  # installing (cmake --install --prefix, or /usr in the package).
  set(pc ${CMAKE_CURRENT_BINARY_DIR}/${target}.pc)
  install(CODE "
    set(PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(PC_NAME ${target})
    set(PC_VERSION ${version})
    set(PC_DESCRIPTION \"${description}\")
    set(PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}/kestrel\")
    set(PC_LIBDIR \"${KESTREL_INSTALL_LIBDIR}\")
    configure_file(\"${CMAKE_SOURCE_DIR}/packaging/library.pc.in\" \"${pc}\" @ONLY)"
    COMPONENT dev)
  install(FILES ${pc} DESTINATION ${KESTREL_INSTALL_PKGCONFIGDIR} COMPONENT dev)
endfunction()
