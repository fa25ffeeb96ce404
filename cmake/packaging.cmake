# Installation and packages.
#   Linux:   cmake --install build/release --prefix DIR, or the TGZ archive from cpack:
#            bin/qelhost, bin/prv2sim, lib/libqelprv.so, lib/libsaptor.so (the stand-in log
#            library), share/doc/qelprv/ (README.md, docs/*.md, samples/QELPRV01.INT)
#   Windows: the ZIP archive, everything in one folder as a host expects it: QELPRV.DLL,
#            SAPTOR.DLL (the stand-in log library), qelhost.exe, docs/, samples/QELPRV01.INT
#   cpack --config build/<preset>/CPackConfig.cmake   (packages land in build/<preset>/packages)
file(GLOB QEL_DOCS ${CMAKE_SOURCE_DIR}/docs/*.md)
set(QEL_SAMPLE ${CMAKE_SOURCE_DIR}/docs/samples/QELPRV01.INT)

if(WIN32)
  # The DLLs and the program side by side; no import libraries.
  install(FILES $<TARGET_FILE:qelprv> $<TARGET_FILE:saptor> DESTINATION .)
  install(PROGRAMS $<TARGET_FILE:qelhost> DESTINATION .)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${QEL_DOCS} DESTINATION docs)
  install(FILES ${QEL_SAMPLE} DESTINATION samples)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME qelprv-${PROJECT_VERSION}-win32)
else()
  include(GNUInstallDirs)
  # The module finds libsaptor.so beside it ($ORIGIN); qelhost finds the module in ../lib.
  install(TARGETS qelprv saptor LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(TARGETS qelhost RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(TARGET prv2sim)
    install(TARGETS prv2sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${QEL_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${QEL_SAMPLE} DESTINATION ${CMAKE_INSTALL_DOCDIR}/samples)
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME qelprv-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
endif()

set(CPACK_PACKAGE_NAME qelprv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "QELPRV: PRV2 controller driver module, stand-in log library, bench host and simulator")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES OFF)
include(CPack)
